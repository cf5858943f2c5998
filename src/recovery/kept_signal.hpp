// The signal between the blocks that no loader read, told apart from silence, hum and noise,
// and the pulses of the blocks that never checked out: what kvrtool convert keeps of a tape
// besides its blocks.
#pragma once

#include <cstdint>
#include <vector>

#include "conversion/kept_stretch.hpp"
#include "input/recording.hpp"

namespace kvr {

// The stretches of tape-like signal among the edges [first, last) of a recording: runs of
// pulses within the lengths loaders use, steady enough to have come from a loader's timing
// (see the definition), lasting a few milliseconds at least.
std::vector<KeptStretch> find_tape_signal(const std::int32_t* first, const std::int32_t* last, std::int32_t sample_rate);

class KeptSignal final : public SignalKeeper {
public:
    // `stretches`: keep the signal of the gaps; `bad_blocks`: keep the pulses of bad blocks.
    KeptSignal(const Recording& levels, bool stretches, bool bad_blocks)
        : levels_(levels), keep_stretches_(stretches), keep_bad_blocks_(bad_blocks) {}

    std::vector<KeptStretch> stretches(std::int32_t from, std::int32_t to) override;
    bool keeps_pulses_of(const DecodedBlock& block) override;
    void pulses(std::int32_t from, std::int32_t to, PulseTaker& taker) const override;

    // What was kept, for the summary.
    struct Counts {
        std::int32_t stretches = 0, bad_blocks = 0;
        std::int64_t pulses = 0;
    };
    const Counts& counts() const { return counts_; }

private:
    const Recording& levels_;
    bool keep_stretches_, keep_bad_blocks_;
    Counts counts_;
};

class Console;
// The summary's line of what was kept.
void print_kept_summary(Console& console, const KeptSignal::Counts& counts);

}  // namespace kvr
