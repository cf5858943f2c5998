// The demodulator's reading of the stretches a conversion read badly or not at all: every
// block whose checksum failed, and every stretch between the good blocks where the front end
// found signal. A block the demodulator reads with a good checksum takes the place of the
// bad one (and of the fragments a dropout split it into) or is added where none was found;
// one that still fails is tried with its least confident bits changed as the checksum asks.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "conversion/driver.hpp"
#include "core/settings.hpp"
#include "demod/demodulator.hpp"
#include "loaders/registry.hpp"
#include "frontend/frame_source.hpp"
#include "input/recording.hpp"

namespace kvr {

struct TapeCounts {
    std::int32_t blocks = 0, good = 0, recovered = 0;
};

class DemodMender final : public TapeMender {
public:
    // `frames` are the recording's frames, `levels` the levels the conversion read.
    DemodMender(const FrameSource& frames, const Recording& levels, const Settings& settings)
        : frames_(frames), levels_(levels), settings_(settings) {}

    void mend(FoundTape& tape) override;
    // The tape as it is written, once mended.
    const TapeCounts& counts() const { return counts_; }

private:
    struct Stretch {
        std::int32_t from = 0, to = 0;
    };
    std::vector<Stretch> stretches_to_read(const FoundTape& tape) const;
    void read_stretch(const Stretch& s, FoundTape& tape, std::vector<Stretch>& read);
    // Puts a block the demodulator found (`offset` the sample its window begins at, `around`
    // the window's levels) into the tape, when it reads well there.
    void take(const demod::FoundData& found, std::int32_t offset, const Recording& around, LoaderSet& loaders,
              FoundTape& tape);

    const FrameSource& frames_;
    const Recording& levels_;
    const Settings& settings_;
    TapeCounts counts_;
    std::vector<Stretch> read_;     // the stretches read so far
    std::deque<std::string> notes_;  // how blocks were recovered, for as long as the tape is written
};

}  // namespace kvr
