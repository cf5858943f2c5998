#include "core/wide.hpp"

#include <atomic>

namespace kvr::wide {

namespace {
std::atomic<bool> wanted{true};
}  // namespace

bool available() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const bool has = __builtin_cpu_supports("avx2");
    return has && wanted.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

void use(bool on) { wanted.store(on, std::memory_order_relaxed); }

}  // namespace kvr::wide
