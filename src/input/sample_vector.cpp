#include "input/sample_vector.hpp"

#include <sys/mman.h>

namespace kvr {

void* allocate_large(std::size_t bytes) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    // Fewer, larger pages make the first touch of a long recording much cheaper.
    ::madvise(p, bytes, MADV_HUGEPAGE);
    return p;
}

void release_large(void* p, std::size_t bytes) { ::munmap(p, bytes); }

}  // namespace kvr
