// Where the readers put the samples they decode. The converter keeps only the edges
// (EdgeBuilder); the front end and the tests can keep every sample (SampleCollector).
#pragma once

#include <cstdint>
#include <span>

#include "input/recording.hpp"
#include "input/sample_vector.hpp"

namespace kvr {

using Bytes = std::span<const std::uint8_t>;
struct PcmFormat;
class PcmFetcher;

// Every call appends samples after those before it. A call returns false when the
// samples cannot be held (out of memory); the reader then gives up with LOAD_NO_MEMORY.
class SampleSink {
public:
    virtual ~SampleSink() = default;
    // The recording will have `total` samples; a sink may make room for them now.
    virtual bool expect(std::int64_t total) = 0;
    // Samples whose sign is the level: negative is low.
    virtual bool samples(const std::int8_t* p, std::size_t n) = 0;
    // n samples at one level.
    virtual bool run(bool low, std::uint64_t n) = 0;
    // PCM frames of the file at `offset`, converted in pieces (through the fetcher, when
    // there is one, for long runs) and appended.
    virtual bool pcm(Bytes file, std::uint64_t offset, std::size_t frames, const PcmFormat& format,
                     const PcmFetcher* fetcher);
    // Forgets everything, after a reader has failed.
    virtual void clear() = 0;
};

// Every sample, as the classic converter held them.
class SampleCollector : public SampleSink {
public:
    explicit SampleCollector(SampleVector& out) : out_(out) {}
    bool expect(std::int64_t total) override;
    bool samples(const std::int8_t* p, std::size_t n) override;
    bool run(bool low, std::uint64_t n) override;
    void clear() override;

private:
    bool grow(std::uint64_t n);
    SampleVector& out_;
};

}  // namespace kvr
