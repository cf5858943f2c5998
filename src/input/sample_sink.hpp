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

// Only how many samples there are: PCM frames are counted, not read. For a conversion that
// takes its levels from elsewhere and needs the load step's checks and lines alone.
class SampleCounter : public SampleSink {
public:
    bool expect(std::int64_t) override { return true; }
    bool samples(const std::int8_t*, std::size_t n) override { return add(n); }
    bool run(bool, std::uint64_t n) override { return add(n); }
    bool pcm(Bytes, std::uint64_t, std::size_t frames, const PcmFormat&, const PcmFetcher*) override { return add(frames); }
    void clear() override { count_ = 0; }
    std::uint64_t count() const { return count_; }

private:
    bool add(std::uint64_t n) {
        count_ += n;
        return true;
    }
    std::uint64_t count_ = 0;
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
