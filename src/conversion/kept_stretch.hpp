// Signal that no block was read from, kept in the image as the pulses it was recorded with:
// the tape writer asks a keeper, gap by gap, which stretches hold such signal, and writes
// them in their place between the blocks around them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "formats/kvr_image.hpp"
#include "loaders/decoded_block.hpp"

namespace kvr {

// A stretch of the recording, in samples: from its first edge to its last.
struct KeptStretch {
    std::int32_t from = 0, to = 0;
    std::int64_t pulses = 0;
};

// Takes a stretch's pulses in T-states, at most kMostKeptPulses at a time.
class PulseTaker {
public:
    virtual ~PulseTaker() = default;
    virtual void take(std::span<const std::uint16_t> pulses) = 0;
};

// As many pulses as one pulse sequence block holds.
inline constexpr std::size_t kMostKeptPulses = image::kMostPulses;

class SignalKeeper {
public:
    virtual ~SignalKeeper() = default;
    // The stretches of samples [from, to) that hold tape-like signal, in order. They are
    // asked for once per gap, each gap after the one before.
    virtual std::vector<KeptStretch> stretches(std::int32_t from, std::int32_t to) = 0;
    // Whether a block's recorded pulses are kept beside its bytes: one that does not check out.
    virtual bool keeps_pulses_of(const DecodedBlock& block) = 0;
    // The pulses between the edges in samples [from, to], the first edge's level before it
    // taken for silence.
    virtual void pulses(std::int32_t from, std::int32_t to, PulseTaker& taker) const = 0;
};

}  // namespace kvr
