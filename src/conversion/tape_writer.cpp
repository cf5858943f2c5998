#include "conversion/tape_writer.hpp"

#include "conversion/driver.hpp"

namespace kvr {

void TapeWriter::add(FoundPilot&& pilot) {
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
    if (observer_ != nullptr) observer_->block(block, found.seen);
    hand_over(std::move(block));
}

bool TapeWriter::finish() {
    if (blocks_ == 0) return false;
    if (waiting_) sink_.release(0.0f);
    waiting_ = false;
    report_.end();
    print_notes();
    return true;
}

// The notes on the blocks whose lines are closed now.
void TapeWriter::print_notes() {
    for (const std::string& note : notes_) report_.note(note);
    notes_.clear();
}

// Ends the waiting block at the pilot just found: its pause line, and its image block.
void TapeWriter::close_waiting_block(const FoundPilot& next) {
    float pause = static_cast<float>((static_cast<double>(next.start) - last_block_end_) / rate_);
    if (next.gap_replaced) pause = 0.0f;
    if (pause < 0.0f) pause = 0.0f;
    if (blocks_ == 0) return;
    report_.pause(pause);
    print_notes();
    if (observer_ != nullptr) observer_->pause(pause);
    sink_.release(pause);
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
