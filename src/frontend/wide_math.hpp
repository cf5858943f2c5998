// The front end's hottest loops again, eight floats or four doubles at a time, for
// processors that have the instructions (chosen when the program runs). Each gives exactly
// what the loop it stands in for gives; each returns how many frames it took, leaving the
// rest to the caller.
#pragma once

#include <cstddef>

#include "core/wide.hpp"

namespace kvr::wide {

// Lane sums as in lane_sums_of: adds frame i to lane i % 4 of la and lb.
std::size_t lane_sums(const float* a, const float* b, std::size_t n, double* la, double* lb);
// Lane sums as in lane_deviations_of, into lane[5][4].
std::size_t lane_deviations(const float* a, double mean_a, const float* b, double mean_b, std::size_t n,
                            double (*lane)[4]);
// One pass of 1, 2, 1 over x[1, n - 1) in place, as far as it goes; returns where it
// stopped and the value x[stop - 1] had before the pass.
std::size_t smooth_pass(float* x, std::size_t n, float& before);

}  // namespace kvr::wide
