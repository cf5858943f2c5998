#include "input/sample_sink.hpp"

#include <cstring>
#include <new>
#include <stdexcept>

#include "input/pcm_chunks.hpp"

namespace kvr {

bool SampleSink::pcm(Bytes file, std::uint64_t offset, std::size_t frames, const PcmFormat& format,
                     const PcmFetcher* fetcher) {
    bool ok = true;
    convert_pcm_chunks(file, offset, frames, format, fetcher,
                       [&](const std::int8_t* p, std::size_t n) { ok = ok && samples(p, n); });
    return ok;
}

bool SampleCollector::expect(std::int64_t total) {
    try {
        out_.reserve(static_cast<std::size_t>(total));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool SampleCollector::grow(std::uint64_t n) {
    try {
        out_.resize(out_.size() + n);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

bool SampleCollector::samples(const std::int8_t* p, std::size_t n) {
    const std::size_t at = out_.size();
    if (!grow(n)) return false;
    std::memcpy(out_.data() + at, p, n);
    return true;
}

bool SampleCollector::run(bool low, std::uint64_t n) {
    const std::size_t at = out_.size();
    if (!grow(n)) return false;
    std::memset(out_.data() + at, low ? 0x80 : 0x7F, n);
    return true;
}

void SampleCollector::clear() { SampleVector().swap(out_); }

}  // namespace kvr
