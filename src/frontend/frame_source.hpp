// Frames of a recording with their channels apart, read in pieces, for the front end.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "input/readers.hpp"
#include "input/sample_vector.hpp"

namespace kvr {

// One channel of frames, full scale 1. Pieces of recordings are megabytes long: the storage
// comes in large pages and is not cleared before it is filled.
using FrameChannel = std::vector<float, SampleAllocator<float>>;
using FrameChannels = std::vector<FrameChannel>;

// Where frames lie in a file's PCM data (a WAV file's data chunk), read through the fetcher
// when there is one, so that a mapped file's pages are not all kept in memory.
struct PcmFrames {
    Bytes file;
    PcmRun run;  // frame 0 at run.offset
    const PcmFetcher* fetcher = nullptr;

    // Frames [from, from + count) as the file holds them: in memory, or read into `room`,
    // where the frames the file cannot give are silence.
    const std::uint8_t* bytes(std::uint64_t from, std::size_t count, std::vector<std::uint8_t>& room) const;
    // Frames [first, first + count) of these, seen as a whole.
    PcmFrames window(std::uint64_t first, std::uint64_t count) const;
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual std::size_t channels() const = 0;
    virtual std::uint64_t frames() const = 0;
    // Frames [from, from + count) into out[c] for each channel c, full scale 1.
    virtual void read(std::uint64_t from, std::size_t count, FrameChannels& out) const = 0;
    // Where the frames lie in a file's PCM data, for the stages that can take them from its
    // bytes; none when they are not read from one.
    virtual std::optional<PcmFrames> pcm() const { return std::nullopt; }
};

// The PCM frames of a file.
class PcmFrameSource : public FrameSource {
public:
    PcmFrameSource(Bytes file, const PcmRun& run, const PcmFetcher* fetcher = nullptr) : pcm_{file, run, fetcher} {}
    std::size_t channels() const override { return pcm_.run.format.channels; }
    std::uint64_t frames() const override { return pcm_.run.frames; }
    void read(std::uint64_t from, std::size_t count, FrameChannels& out) const override;
    std::optional<PcmFrames> pcm() const override { return pcm_; }

private:
    PcmFrames pcm_;
};

// One channel of samples as the classic reader mixes them, for files whose channels are not kept apart.
class SampleFrameSource : public FrameSource {
public:
    explicit SampleFrameSource(const SampleVector& samples) : samples_(samples) {}
    std::size_t channels() const override { return 1; }
    std::uint64_t frames() const override { return samples_.size(); }
    void read(std::uint64_t from, std::size_t count, FrameChannels& out) const override;

private:
    const SampleVector& samples_;
};

// The levels of a recording's edges as one channel of full-scale frames (CSW pulses).
class RecordingFrameSource : public FrameSource {
public:
    explicit RecordingFrameSource(const Recording& recording) : recording_(recording) {}
    std::size_t channels() const override { return 1; }
    std::uint64_t frames() const override { return static_cast<std::uint64_t>(recording_.count); }
    void read(std::uint64_t from, std::size_t count, FrameChannels& out) const override;

private:
    const Recording& recording_;
};

// A stretch of another source, seen as a whole: frame 0 is the stretch's first.
class WindowFrameSource : public FrameSource {
public:
    WindowFrameSource(const FrameSource& inner, std::uint64_t first, std::uint64_t count)
        : inner_(inner), first_(first), count_(count) {}
    std::size_t channels() const override { return inner_.channels(); }
    std::uint64_t frames() const override { return count_; }
    void read(std::uint64_t from, std::size_t count, FrameChannels& out) const override {
        inner_.read(first_ + from, count, out);
    }
    std::optional<PcmFrames> pcm() const override {
        const std::optional<PcmFrames> whole = inner_.pcm();
        if (!whole) return std::nullopt;
        return whole->window(first_, count_);
    }

private:
    const FrameSource& inner_;
    std::uint64_t first_, count_;
};

// Frames held in memory, one vector per channel (tests).
class MemoryFrameSource : public FrameSource {
public:
    explicit MemoryFrameSource(std::vector<std::vector<float>> channels) : channels_(std::move(channels)) {}
    std::size_t channels() const override { return channels_.size(); }
    std::uint64_t frames() const override { return channels_.empty() ? 0 : channels_[0].size(); }
    void read(std::uint64_t from, std::size_t count, FrameChannels& out) const override;

private:
    std::vector<std::vector<float>> channels_;
};

}  // namespace kvr
