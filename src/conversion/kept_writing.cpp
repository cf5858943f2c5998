// The tape writer's part in keeping signal: the gaps' stretches and a bad block's pulses,
// put into the image between the blocks, each in the place it had on the tape.
#include <cstdio>

#include "conversion/driver.hpp"
#include "conversion/tape_writer.hpp"
#include "formats/kvr_image.hpp"

namespace kvr {

namespace {

// Pulses into the sink as pulse sequence blocks, counted.
class ToSink final : public PulseTaker {
public:
    explicit ToSink(BlockSink& sink) : sink_(sink) {}
    void take(std::span<const std::uint16_t> pulses) override {
        sink_.kept(image::Piece::pulse_sequence({pulses.begin(), pulses.end()}));
        count += static_cast<std::int64_t>(pulses.size());
    }
    std::int64_t count = 0;

private:
    BlockSink& sink_;
};

}  // namespace

// The stretches of the gap up to `to`: the waiting block ends at the first of them, each
// is followed by the silence up to the next, and the last, `before_block`, by the silence
// up to the block at `to`.
// True when it ended the waiting block's line.
bool TapeWriter::keep_gap(std::int32_t to, bool before_block) {
    const std::int32_t from = blocks_ > 0 ? last_block_end_ : 0;
    const std::vector<KeptStretch> kept = keeper_->stretches(from, to);
    if (kept.empty()) return false;
    const bool ends_line = waiting_;
    const auto seconds = [this](std::int32_t a, std::int32_t b) {
        return static_cast<float>((static_cast<double>(b) - a) / rate_);
    };
    const auto silence = [this](float pause) {
        const std::int32_t ms = image::pause_ms(pause);
        if (ms > 0) sink_.kept(image::Piece::pause(ms));
    };
    const float before = seconds(from, kept.front().from);
    if (waiting_) {
        report_.pause(before);
        print_notes();
        if (observer_ != nullptr) observer_->pause(before);
        sink_.release(before);
        if (waiting_kept_) keep_block_pulses(before);
        waiting_ = false;
    } else if (blocks_ > 0) {
        silence(before);
    }
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const KeptStretch& s = kept[i];
        report_.kept_signal(s.pulses, static_cast<double>(s.from) / rate_, static_cast<double>(s.to) / rate_);
        if (observer_ != nullptr) observer_->kept(s);
        ToSink taker(sink_);
        keeper_->pulses(s.from, s.to, taker);
        if (i + 1 < kept.size()) silence(seconds(s.to, kept[i + 1].from));
        else if (before_block) silence(seconds(s.to, to));
    }
    return ends_line;
}

// After the waiting block's bytes: its pulses as recorded, with the same silence after
// them, in a group named for it.
void TapeWriter::keep_block_pulses(float pause) {
    waiting_kept_ = false;
    char name[48];
    std::snprintf(name, sizeof name, "Block %d as recorded", blocks_);
    sink_.kept(image::Piece::group_start(name));
    ToSink taker(sink_);
    keeper_->pulses(waiting_from_, last_block_end_, taker);
    const std::int32_t ms = image::pause_ms(pause);
    if (ms > 0) sink_.kept(image::Piece::pause(ms));
    sink_.kept_group_end();
    report_.kept_block(blocks_, taker.count);
}

}  // namespace kvr
