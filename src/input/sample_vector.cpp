#include "input/sample_vector.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace kvr {

namespace {

constexpr std::size_t kAlign = kLargeAllocation;

// The length mapped for a block of `bytes`: whole pages, and a whole large page for a last
// part of a quarter of one or more. Only a whole large page is given as one, and faulting
// in a quarter of one page by page already costs more than clearing a whole one.
std::size_t mapped_length(std::size_t bytes) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t tail = bytes % kAlign;
    if (tail >= kAlign / 4) return bytes - tail + kAlign;
    return (bytes + page - 1) / page * page;
}

void* map_afresh(std::size_t length) {
    // Large pages are only used where a whole one fits at its own alignment, so the block
    // starts at such a boundary: what the mapping has before and after it is given back.
    void* p = ::mmap(nullptr, length + kAlign, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    auto* start = static_cast<char*>(p);
    const std::size_t lead = (kAlign - reinterpret_cast<std::uintptr_t>(start) % kAlign) % kAlign;
    if (lead > 0) ::munmap(start, lead);
    if (kAlign > lead) ::munmap(start + lead + length, kAlign - lead);
    // Fewer, larger pages make the first touch of a long recording much cheaper.
    ::madvise(start + lead, length, MADV_HUGEPAGE);
    return start + lead;
}

}  // namespace

void* allocate_large(std::size_t bytes) {
    if (bytes > SIZE_MAX - 2 * kAlign) throw std::bad_alloc();
    return map_afresh(mapped_length(bytes));
}

void release_large(void* p, std::size_t bytes) { ::munmap(p, mapped_length(bytes)); }

}  // namespace kvr
