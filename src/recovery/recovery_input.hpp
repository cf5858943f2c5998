// What the recovering conversion reads a recording from, gathered by the load step in its
// one reading of the file: a WAV file's frames where they lie (the front end reads their
// channels apart), a CSW file's pulses as levels, any other file's samples as the classic
// reader mixes them.
#pragma once

#include <optional>

#include "input/edge_builder.hpp"
#include "input/readers.hpp"
#include "input/sample_vector.hpp"

namespace kvr {

class RecoveryInput final : public SampleSink {
public:
    // What becomes of CSW pulses: levels, into `levels` as they are read, or samples mixed
    // like those of any other file.
    enum class Pulses { levels, mixed };
    RecoveryInput(Bytes file, Recording& levels, Pulses pulses = Pulses::levels);

    bool expect(std::int64_t total) override;
    bool samples(const std::int8_t* p, std::size_t n) override;
    bool run(bool low, std::uint64_t n) override;
    bool pcm(Bytes file, std::uint64_t offset, std::size_t frames, const PcmFormat& format,
             const PcmFetcher* fetcher) override;
    void clear() override;

    // Once a reader has taken the file: keeps the frames where they lie when the reader says
    // they may be read apart, or else mixes them like the rest; false when they cannot be held.
    bool finish(const SampleInfo& info);

    bool pulses() const { return pulses_; }
    // The WAV file's frames, when they are kept where they lie.
    const std::optional<PcmRun>& frames() const { return frames_; }
    const SampleVector& mixed() const { return mixed_; }
    // The samples counted, whatever was kept of them.
    std::uint64_t count() const { return count_; }
    // The file holds less sound than its header states.
    bool cut_short() const { return cut_short_; }

private:
    bool mix_held();

    bool pulses_;
    EdgeBuilder levels_;
    SampleVector mixed_;
    SampleCollector collect_{mixed_};
    // The first run of PCM frames, held unread until it is known whether it is the whole file.
    struct Held {
        Bytes file;
        std::uint64_t offset;
        std::size_t frames;
        PcmFormat format;
        const PcmFetcher* fetcher;
    };
    std::optional<Held> held_;
    bool mixing_ = false;  // something besides one run came: everything is mixed
    std::optional<PcmRun> frames_;
    std::uint64_t count_ = 0;
    bool cut_short_ = false;
};

}  // namespace kvr
