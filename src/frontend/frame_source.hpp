// Frames of a recording with their channels apart, read in pieces, for the front end.
#pragma once

#include <cstdint>
#include <vector>

#include "input/readers.hpp"
#include "input/sample_vector.hpp"

namespace kvr {

// One channel of frames, full scale 1. Pieces of recordings are megabytes long: the storage
// comes in large pages and is not cleared before it is filled.
using FrameChannel = std::vector<float, SampleAllocator<float>>;
using FrameChannels = std::vector<FrameChannel>;

class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual std::size_t channels() const = 0;
    virtual std::uint64_t frames() const = 0;
    // Frames [from, from + count) into out[c] for each channel c, full scale 1.
    virtual void read(std::uint64_t from, std::size_t count, FrameChannels& out) const = 0;
    // Frames [from, from + count) as the file holds them, when they are 16-bit PCM: two
    // bytes per sample, little-endian, the channels interleaved; read into `room` when they
    // are not in memory. Null for every other kind of frame.
    virtual const std::uint8_t* pcm16(std::uint64_t /*from*/, std::size_t /*count*/,
                                      std::vector<std::uint8_t>& /*room*/) const {
        return nullptr;
    }
};

// The PCM frames of a file in memory (a WAV file's data chunk), read through the fetcher
// when there is one, so that a mapped file's pages are not all kept in memory.
class PcmFrameSource : public FrameSource {
public:
    PcmFrameSource(Bytes file, const PcmRun& run, const PcmFetcher* fetcher = nullptr)
        : file_(file), run_(run), fetcher_(fetcher) {}
    std::size_t channels() const override { return run_.format.channels; }
    std::uint64_t frames() const override { return run_.frames; }
    void read(std::uint64_t from, std::size_t count, FrameChannels& out) const override;
    const std::uint8_t* pcm16(std::uint64_t from, std::size_t count, std::vector<std::uint8_t>& room) const override;

private:
    Bytes file_;
    PcmRun run_;
    const PcmFetcher* fetcher_;
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
    const std::uint8_t* pcm16(std::uint64_t from, std::size_t count, std::vector<std::uint8_t>& room) const override {
        return inner_.pcm16(first_ + from, count, room);
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
