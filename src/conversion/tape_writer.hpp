// Writes a tape as a reading found it: the report's lines and the sink's bytes, each block
// one step late, when the next pilot (or the end) tells the pause after it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "conversion/block_sink.hpp"
#include "conversion/found_tape.hpp"
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

private:
    void close_waiting_block(const FoundPilot& next);
    void hand_over(DecodedBlock&& block);
    void print_notes();

    Report& report_;
    BlockSink& sink_;
    std::int32_t rate_;
    ConversionObserver* observer_;
    std::int32_t blocks_ = 0;          // the blocks written so far
    std::int32_t last_block_end_ = 0;  // where the last of them ended
    bool waiting_ = false;             // a block waits, and its report line is open
    std::vector<std::string> notes_;   // to print once the open line is closed
};

}  // namespace kvr
