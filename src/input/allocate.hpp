#pragma once

#include <new>
#include <vector>

#include "input/sample_buffer.hpp"

namespace kvr {

// Sizes the sample buffer; false when the memory cannot be had.
inline bool allocate_samples(SampleVector& out, std::int64_t count) {
    try {
        out.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        out.clear();
        out.shrink_to_fit();
        return false;
    }
    return true;
}

}  // namespace kvr
