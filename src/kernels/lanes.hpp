// Sums over the frames of two channels, the judging's arithmetic, in each of its forms.
// Each sum is kept in four lanes (lane k takes the frames i with i % 4 == k, the frames past
// the last whole four in lane 0) and the lanes combined as (0 + 1) + (2 + 3): every form adds
// the same values in the same order, so all give the same sums to the last bit.
#pragma once

#include <cstddef>

#include "kernels/x86.hpp"

namespace kvr::kernels {

inline constexpr std::size_t kLanes = 4;

// The sums of the frames of a and of b.
struct LaneSums {
    double a = 0.0, b = 0.0;
};

// Around the means given: the sums of the squared and of the absolute deviations of each
// channel, and of the product of their deviations.
struct LaneDeviations {
    double squares_a = 0.0, magnitudes_a = 0.0, squares_b = 0.0, magnitudes_b = 0.0, cross = 0.0;
};

namespace plain {

LaneSums lane_sums(const float* a, const float* b, std::size_t n);
LaneDeviations lane_deviations(const float* a, double mean_a, const float* b, double mean_b, std::size_t n);

// The rest of the sums from frame i on (i a multiple of four), into lanes that hold those
// of the frames before.
LaneSums finish_lane_sums(const float* a, const float* b, std::size_t n, std::size_t i, double* la, double* lb);
LaneDeviations finish_lane_deviations(const float* a, double mean_a, const float* b, double mean_b, std::size_t n,
                                      std::size_t i, double (*lane)[kLanes]);

}  // namespace plain

#if defined(KVR_X86_KERNELS)
namespace sse2 {
LaneSums lane_sums(const float* a, const float* b, std::size_t n);
LaneDeviations lane_deviations(const float* a, double mean_a, const float* b, double mean_b, std::size_t n);
}  // namespace sse2

namespace avx2 {
LaneSums lane_sums(const float* a, const float* b, std::size_t n);
LaneDeviations lane_deviations(const float* a, double mean_a, const float* b, double mean_b, std::size_t n);
}  // namespace avx2
#endif

}  // namespace kvr::kernels
