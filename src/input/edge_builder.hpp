// Builds a recording's edges from its samples as they are read, in one pass. Long runs of
// PCM frames are split into pieces whose edges are found in parallel and then joined.
#pragma once

#include <cstdint>
#include <span>

#include "input/recording.hpp"
#include "input/sample_sink.hpp"

namespace kvr {

class EdgeFeed;

class EdgeBuilder : public SampleSink {
public:
    explicit EdgeBuilder(Recording& out);
    // Sets aside room for as many edges as samples, which costs only address space.
    bool expect(std::int64_t total) override;
    bool samples(const std::int8_t* p, std::size_t n) override;
    bool run(bool low, std::uint64_t n) override;
    bool pcm(Bytes file, std::uint64_t offset, std::size_t frames, const PcmFormat& format,
             const PcmFetcher* fetcher) override;
    void clear() override;

    // The sample count so far.
    std::int64_t position() const { return pos_; }

    // Hands the edges to an analysis as they are read, when the whole recording is one long
    // run of PCM frames (the feed is opened then, and always closed by the caller).
    void feed(EdgeFeed* to) { feed_ = to; }

private:
    // Appends the edges found in a piece read on its own, which began at level `low`.
    bool join(bool first_low, std::span<const std::int32_t> piece_edges, std::int64_t length);
    // Opens the feed, when there is one, on the edges of a run that is the whole recording.
    void open_feed(std::size_t frames);
    // The level of the samples about to be appended: the first sets the recording's first
    // level; a level that differs from the one before is an edge.
    bool continue_at(bool low);

    Recording& out_;
    std::int64_t pos_ = 0;
    bool low_ = false;
    std::size_t max_edges_;
    std::int64_t expected_ = 0;  // the samples the reader announced
    EdgeFeed* feed_ = nullptr;
    bool feeding_ = false;  // the feed is open on out_.edges
};

}  // namespace kvr
