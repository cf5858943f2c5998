// Storage for samples and edges: large blocks come straight from the system in huge pages
// where it offers them, and elements are not zeroed before the readers overwrite them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace kvr {

void* allocate_large(std::size_t bytes);
void release_large(void* p, std::size_t bytes);
inline constexpr std::size_t kLargeAllocation = std::size_t{1} << 21;

template <class T>
struct SampleAllocator {
    using value_type = T;
    SampleAllocator() = default;
    template <class U>
    SampleAllocator(const SampleAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n * sizeof(T) >= kLargeAllocation) return static_cast<T*>(allocate_large(n * sizeof(T)));
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) >= kLargeAllocation)
            release_large(p, n * sizeof(T));
        else
            ::operator delete(p);
    }
    // Default-initialise: a resize leaves the new elements for the reader to fill.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(static_cast<Args&&>(args)...);
    }
    template <class U>
    bool operator==(const SampleAllocator<U>&) const noexcept {
        return true;
    }
};

using SampleVector = std::vector<std::int8_t, SampleAllocator<std::int8_t>>;

}  // namespace kvr
