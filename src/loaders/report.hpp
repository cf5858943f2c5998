// The console report of a conversion: every line it prints, block lines and pauses alike.
#pragma once

#include <cstdint>
#include <string>

#include "core/console.hpp"
#include "loaders/decoded_block.hpp"

namespace kvr {

class Report {
public:
    explicit Report(Console& console) : console_(console) {}

    void creating(bool tap_output);
    // Ends the line of the block that waited with the pause after it.
    void pause(float seconds);
    // Ends the line of the last block.
    void end();
    void no_blocks();
    void cannot_create(const std::string& name);
    void cannot_write(const std::string& name);

    // The lines of a block that come before its sub-blocks: a heading, or the noise that
    // stands in for the stretch before it.
    void before(const DecodedBlock& block);
    void subblock(const SubBlock& subblock);
    // The block's own line, left open for its pause.
    void block(const DecodedBlock& block);

    // A stretch of signal no block was read from, kept as its pulses (times in seconds).
    void kept_signal(std::int64_t pulses, double from, double to);
    // The recorded pulses of a block that did not check out, kept beside it.
    void kept_block(std::int32_t block_number, std::int64_t pulses);

    // A line of its own after a block's line: a note on the block.
    void note(const std::string& text);

    void tap_record_too_long(std::int32_t block_number, std::int32_t length, const std::string& output_name);

private:
    Console& console_;
};

}  // namespace kvr
