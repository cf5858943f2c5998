// The front end's arithmetic over the blocks of a piece, in each of its forms. Every form
// gives what the plain one gives, bit for bit; the block extremes alone may differ in the
// sign of a zero, which no comparison sees.
#pragma once

#include <cstddef>

#include "kernels/x86.hpp"

namespace kvr::kernels {

inline constexpr std::size_t kBlockFrames = 16;  // frames per block of the slower measurements

namespace plain {

// The highest and lowest of each block of x[0, n) (the last block may be shorter): top[b]
// and bottom[b].
void block_extremes(const float* x, std::size_t n, float* top, float* bottom);
// Takes the baseline from each block of x[0, n): from edge_base[b] where block b begins to
// edge_base[b + 1] where it ends, in equal steps. magnitude[b] becomes the mean magnitude
// of the block's frames then, their sum taken in order.
void remove_baseline(float* x, std::size_t n, const float* edge_base, float* magnitude);
// One pass of 1, 2, 1 over x[0, n) in place: each frame but the first and the last becomes
// a quarter of each neighbour and half itself, as they were before the pass.
void smooth_pass(float* x, std::size_t n);
// The rest of such a pass from frame i on, `before` the value x[i - 1] had before it.
void smooth_rest(float* x, std::size_t n, std::size_t i, float before);

}  // namespace plain

#if defined(KVR_X86_KERNELS)
namespace sse2 {
void block_extremes(const float* x, std::size_t n, float* top, float* bottom);
void remove_baseline(float* x, std::size_t n, const float* edge_base, float* magnitude);
void smooth_pass(float* x, std::size_t n);
}  // namespace sse2

namespace avx2 {
void smooth_pass(float* x, std::size_t n);
}  // namespace avx2
#endif

}  // namespace kvr::kernels
