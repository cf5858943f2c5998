#include "kernels/kernels.hpp"

#include "core/wide.hpp"

namespace kvr::kernels {

using wide::Width;

void block_extremes(const float* x, std::size_t n, float* top, float* bottom) {
    if (wide::width() >= Width::sse2) return sse2::block_extremes(x, n, top, bottom);
    plain::block_extremes(x, n, top, bottom);
}

void remove_baseline(float* x, std::size_t n, const float* edge_base, float* magnitude) {
    if (wide::width() >= Width::sse2) return sse2::remove_baseline(x, n, edge_base, magnitude);
    plain::remove_baseline(x, n, edge_base, magnitude);
}

void smooth_pass(float* x, std::size_t n) {
    const Width w = wide::width();
    if (w >= Width::avx2) return avx2::smooth_pass(x, n);
    if (w >= Width::sse2) return sse2::smooth_pass(x, n);
    plain::smooth_pass(x, n);
}

LaneSums lane_sums(const float* a, const float* b, std::size_t n) {
    const Width w = wide::width();
    if (w >= Width::avx2) return avx2::lane_sums(a, b, n);
    if (w >= Width::sse2) return sse2::lane_sums(a, b, n);
    return plain::lane_sums(a, b, n);
}

LaneDeviations lane_deviations(const float* a, double mean_a, const float* b, double mean_b, std::size_t n) {
    const Width w = wide::width();
    if (w >= Width::avx2) return avx2::lane_deviations(a, mean_a, b, mean_b, n);
    if (w >= Width::sse2) return sse2::lane_deviations(a, mean_a, b, mean_b, n);
    return plain::lane_deviations(a, mean_a, b, mean_b, n);
}

FrameBitsForm frame_bits_form() {
    const Width w = wide::width();
    if (w >= Width::avx512) return avx512::frame_bits;
    if (w >= Width::avx2) return avx2::frame_bits;
    if (w >= Width::sse2) return sse2::frame_bits;
    return plain::frame_bits;
}

void convert_stereo16(const std::uint8_t* frames, std::size_t count, float* left, float* right) {
    if (wide::width() >= Width::sse2) return sse2::convert_stereo16(frames, count, left, right);
    plain::convert_stereo16(frames, count, left, right);
}

StereoSums stereo16_sums(const std::uint8_t* frames, std::size_t n) {
    if (wide::width() >= Width::avx2) return avx2::stereo16_sums(frames, n);
    return plain::stereo16_sums(frames, n);
}

void add_sums_above(const std::uint8_t* frames, std::size_t n, StereoSums& sums) {
    if (wide::width() >= Width::avx2) return avx2::add_sums_above(frames, n, sums);
    plain::add_sums_above(frames, n, sums);
}

void combine16(const std::uint8_t* frames, std::size_t channels, std::size_t n, const float* weight, float* dest) {
    if (wide::width() >= Width::avx2) return avx2::combine16(frames, channels, n, weight, dest);
    plain::combine16(frames, channels, n, weight, dest);
}

void low_bits(LevelLayout layout, const std::uint8_t* src, std::size_t frames, std::uint64_t* words) {
    if (wide::width() >= Width::avx2) return avx2::low_bits(layout, src, frames, words);
    plain::low_bits(layout, src, frames, words);
}

}  // namespace kvr::kernels
