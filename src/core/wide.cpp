#include "core/wide.hpp"

#include <algorithm>
#include <atomic>

namespace kvr::wide {

namespace {
std::atomic<Width> allowed{Width::avx512};
}  // namespace

Width processor_width() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const Width has = __builtin_cpu_supports("avx512f")
                                 ? Width::avx512
                                 : (__builtin_cpu_supports("avx2") ? Width::avx2 : Width::sse2);
    return has;
#else
    return Width::plain;
#endif
}

Width width() { return std::min(processor_width(), allowed.load(std::memory_order_relaxed)); }

void limit(Width most) { allowed.store(most, std::memory_order_relaxed); }

}  // namespace kvr::wide
