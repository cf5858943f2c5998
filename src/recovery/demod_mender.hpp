// The demodulator's reading of the stretches a conversion read badly or not at all: every
// block whose checksum failed, and every stretch between the good blocks where the front end
// found signal. A block the demodulator reads with a good checksum takes the place of the
// bad one (and of the fragments a dropout split it into) or is added where none was found;
// one that still fails is tried with its least confident bits changed as the checksum asks.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "conversion/driver.hpp"
#include "core/settings.hpp"
#include "demod/demodulator.hpp"
#include "loaders/registry.hpp"
#include "frontend/frame_source.hpp"
#include "input/recording.hpp"
#include "loaders/read_block.hpp"
#include "recovery/classic_levels.hpp"

namespace kvr {

class DemodMender final : public TapeMender {
public:
    // `frames` are the recording's frames, `levels` the levels the conversion read, `classic`
    // the recording as kelvarin reads it (or none).
    DemodMender(const FrameSource& frames, const Recording& levels, const ClassicLevels* classic, const Settings& settings)
        : frames_(frames), levels_(levels), classic_(classic), settings_(settings) {}

    void mend(FoundTape& tape) override;

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
    bool only_rom_blocks() const;
    std::vector<BlockReading> classic_blocks(const Stretch& s) const;
    std::vector<Stretch> odd_blocks(const FoundTape& tape) const;
    void keep_classic_blocks(FoundTape& tape);
    std::optional<std::size_t> good_rival(const FoundTape& tape, const BlockReading& r) const;
    std::vector<std::uint8_t> demodulated_bytes(std::int32_t from, std::int32_t to) const;

    // Where a block found over [from, to) (its data from data_from) would go in the tape: the
    // bad blocks it overlaps, the pilots of no block within it, the blocks before it, the
    // loader and index it is read with, and the length a doubtful block there should have
    // had, or the length announced for a block there. None when it overlaps a good block.
    struct Place {
        std::vector<std::size_t> over, pilots_within;
        std::int32_t before = 0, last_end = 0, wanted = -1, index = 0, announced = -1;
        const LoaderDescriptor* loader = nullptr;
    };
    std::optional<Place> place_for(const FoundTape& tape, double from, double data_from, double to, LoaderSet& loaders) const;
    bool fits(const Place& p, const BlockReading& r) const;
    void leave_out_run_ons(FoundTape& tape);
    void read_headers_from_their_start(FoundTape& tape);
    void keep_soft(const Place& p, const BlockReading& r, const demod::DataReading& bits, FoundTape& tape) const;
    void keep_unread(const Place& p, BlockReading&& r, const demod::DataReading& bits, FoundTape& tape);
    void put(const Place& p, BlockReading&& r, const std::string& note, std::optional<float> weakest_bit,
             FoundTape& tape, std::vector<float> confidence = {});

    const FrameSource& frames_;
    const Recording& levels_;
    const ClassicLevels* classic_;
    const Settings& settings_;
    std::vector<Stretch> read_;     // the stretches read so far
    std::deque<std::string> notes_;  // how blocks were recovered, for as long as the tape is written
};

}  // namespace kvr
