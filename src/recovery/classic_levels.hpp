// The recording as kelvarin reads it (the sign of each sample, the channels mixed), for the
// retries that read a block again from those levels. Only the stretch a retry reads is made,
// so a conversion whose blocks all check out never reads the sound for them.
#pragma once

#include <cstdint>

#include "input/readers.hpp"
#include "input/recording.hpp"

namespace kvr {

class ClassicLevels {
public:
    virtual ~ClassicLevels() = default;
    // Samples [from, to) as a recording of their own: sample `from` becomes sample 0.
    virtual Recording window(std::int32_t from, std::int32_t to) const = 0;
};

// From levels already loaded.
class LoadedLevels : public ClassicLevels {
public:
    explicit LoadedLevels(const Recording& levels) : levels_(levels) {}
    Recording window(std::int32_t from, std::int32_t to) const override { return levels_.slice(from, to); }

private:
    const Recording& levels_;
};

// From a WAV file's PCM frames, read when asked for.
class PcmLevels : public ClassicLevels {
public:
    PcmLevels(Bytes file, const PcmRun& run, std::int32_t rate, const PcmFetcher* fetcher)
        : file_(file), run_(run), rate_(rate), fetcher_(fetcher) {}
    Recording window(std::int32_t from, std::int32_t to) const override;

private:
    Bytes file_;
    PcmRun run_;
    std::int32_t rate_;
    const PcmFetcher* fetcher_;
};

// From the classic samples, kept in memory.
class SampleLevels : public ClassicLevels {
public:
    SampleLevels(const SampleVector& samples, std::int32_t rate) : samples_(samples), rate_(rate) {}
    Recording window(std::int32_t from, std::int32_t to) const override;

private:
    const SampleVector& samples_;
    std::int32_t rate_;
};

}  // namespace kvr
