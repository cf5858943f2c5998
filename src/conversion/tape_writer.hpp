// Writes a tape as a reading found it: the report's lines and the sink's bytes, each block
// one step late, when the next pilot (or the end) tells the pause after it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "conversion/block_sink.hpp"
#include "conversion/found_tape.hpp"
#include "conversion/kept_stretch.hpp"
#include "loaders/report.hpp"

namespace kvr {

class ConversionObserver;

class TapeWriter {
public:
    TapeWriter(Report& report, BlockSink& sink, std::int32_t sample_rate, ConversionObserver* observer)
        : report_(report), sink_(sink), rate_(sample_rate), observer_(observer) {}

    // The next pilot found: it ends the waiting block's line with the pause up to it (and
    // prints the notes on that block after it), and its block (when one was read) is
    // reported and handed to the sink, its line left open.
    void add(FoundPilot&& pilot);
    // After the last pilot: the waiting block with no pause. False when no block was found.
    bool finish();

    std::int32_t blocks() const { return blocks_; }

    // From now on the signal of the gaps between blocks that `keeper` finds goes into the
    // image as its pulses, in its place, and so do the pulses of the blocks it names.
    // `recording_end` is where the gap after the last block ends.
    void keep_signal(SignalKeeper* keeper, std::int32_t recording_end) {
        keeper_ = keeper;
        recording_end_ = recording_end;
    }

private:
    void close_waiting_block(const FoundPilot& next);
    void hand_over(DecodedBlock&& block);
    bool keep_gap(std::int32_t to, bool before_block);
    void keep_block_pulses(float pause);
    void print_notes();

    Report& report_;
    BlockSink& sink_;
    std::int32_t rate_;
    ConversionObserver* observer_;
    std::int32_t blocks_ = 0;          // the blocks written so far
    std::int32_t last_block_end_ = 0;  // where the last of them ended
    bool waiting_ = false;             // a block waits, and its report line is open
    SignalKeeper* keeper_ = nullptr;
    std::int32_t recording_end_ = 0;
    // The waiting block's pulses go beside it, from the first sample of its pilot.
    bool waiting_kept_ = false;
    std::int32_t waiting_from_ = 0;
    std::vector<std::string> notes_;   // to print once the open line is closed
};

}  // namespace kvr
