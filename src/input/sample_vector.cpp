#include "input/sample_vector.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace kvr {

void* allocate_large(std::size_t bytes) {
    // Large pages are only used where a whole one fits at its own alignment, so the block
    // starts at such a boundary: what the mapping has before and after it is given back.
    constexpr std::size_t kAlign = kLargeAllocation;
    if (bytes > SIZE_MAX - kAlign) throw std::bad_alloc();
    void* p = ::mmap(nullptr, bytes + kAlign, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    auto* start = static_cast<char*>(p);
    const std::size_t lead = (kAlign - reinterpret_cast<std::uintptr_t>(start) % kAlign) % kAlign;
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t used = (lead + bytes + page - 1) / page * page;  // whole pages from the start
    if (lead > 0) ::munmap(start, lead);
    if (bytes + kAlign > used) ::munmap(start + used, bytes + kAlign - used);
    // Fewer, larger pages make the first touch of a long recording much cheaper.
    ::madvise(start + lead, bytes, MADV_HUGEPAGE);
    return start + lead;
}

void release_large(void* p, std::size_t bytes) { ::munmap(p, bytes); }

}  // namespace kvr
