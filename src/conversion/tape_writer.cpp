#include "conversion/tape_writer.hpp"

#include "conversion/driver.hpp"

namespace kvr {

void TapeWriter::add(FoundPilot&& pilot) {
    if (keeper_ != nullptr) {
        // A pilot that no block followed is signal of the gap, kept with the rest of it.
        if (!pilot.block || !pilot.block->block.counted) return;
        if (!pilot.gap_replaced) keep_gap(pilot.start, true);
    }
    if (waiting_) close_waiting_block(pilot);
    waiting_ = false;
    if (!pilot.block) return;
    FoundBlock& found = *pilot.block;
    DecodedBlock& block = found.block;
    waiting_ = block.counted && block.waits;
    if (!block.counted) return;
    notes_.insert(notes_.end(), found.notes.begin(), found.notes.end());
    ++blocks_;
    last_block_end_ = block.end;
    waiting_kept_ = waiting_ && keeper_ != nullptr && keeper_->keeps_pulses_of(block);
    waiting_from_ = found.seen.pilot_start;
    if (observer_ != nullptr) observer_->block(found);
    hand_over(std::move(block));
}

bool TapeWriter::finish() {
    if (blocks_ == 0) return false;
    // The last block's line is ended already when signal after it was kept.
    const bool line_ended = keeper_ != nullptr && keep_gap(recording_end_, false);
    const bool kept_after = waiting_ && waiting_kept_;
    if (waiting_) sink_.release(0.0f);
    waiting_ = false;
    if (!line_ended) report_.end();
    print_notes();
    if (kept_after) keep_block_pulses(0.0f);
    return true;
}

// The notes on the blocks whose lines are closed now.
void TapeWriter::print_notes() {
    for (const std::string& note : notes_) report_.note(note);
    notes_.clear();
}

// Ends the waiting block at the pilot just found: its pause line, and its image block.
void TapeWriter::close_waiting_block(const FoundPilot& next) {
    float pause = next.pause_before ? *next.pause_before
                                    : static_cast<float>((static_cast<double>(next.start) - last_block_end_) / rate_);
    if (next.gap_replaced) pause = 0.0f;
    if (pause < 0.0f) pause = 0.0f;
    if (blocks_ == 0) return;
    report_.pause(pause);
    print_notes();
    if (observer_ != nullptr) observer_->pause(pause);
    sink_.release(pause);
    if (waiting_kept_) keep_block_pulses(pause);
}

// The block's report and its bytes, in the order the console and the TAP file show them:
// the lines before its sub-blocks, each sub-block's line with the sub-block, then the
// block's own line, left open.
void TapeWriter::hand_over(DecodedBlock&& block) {
    report_.before(block);
    sink_.lead_in(block);
    for (std::size_t i = 0; i < block.subblocks.size(); ++i) {
        report_.subblock(block.subblocks[i]);
        if (i + 1 < block.subblocks.size()) sink_.subblock(block, i);
    }
    report_.block(block);
    if (block.waits) sink_.take(std::move(block));
}

}  // namespace kvr
