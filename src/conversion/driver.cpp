// The conversion driver: one pass per pilot found, each block written one step late.
//
// A pass asks the loader that serves the next block to find its pilot. When one is found,
// the block that waits is done with: its report line gets the pause up to this pilot and
// the sink writes it. Then the loader reads the new block, which is reported and handed to
// the sink; its line stays open and its data waits until the next pilot, or the end,
// tells the pause after it.
#include "conversion/driver.hpp"

#include <algorithm>
#include <memory>
#include <vector>

#include "analysis/bits.hpp"
#include "loaders/read_block.hpp"
#include "conversion/context.hpp"
#include "conversion/kvr_sink.hpp"
#include "conversion/tap_sink.hpp"
#include "loaders/registry.hpp"
#include "loaders/report.hpp"

namespace kvr {

namespace {

class Conversion {
public:
    Conversion(const Recording& recording, LoaderSet& loaders, BlockSink& sink, Report& report,
               const ConversionHooks& hooks)
        : edges_(recording),
          loaders_(loaders),
          sink_(sink),
          report_(report),
          hooks_(hooks) {}

    void run() {
        std::int32_t told = 0;
        const std::int32_t count = edges_.count();
        const std::int32_t step = count / 100 + 1;
        while (at_.pos < count) {
            const std::int32_t before = at_.pos;
            // Searches that find no pilot go on within one reading up to where progress is
            // told next: most of a recording is passed over that way.
            pass(static_cast<std::int32_t>(std::min<std::int64_t>(std::int64_t{told} + step, count)));
            // Every pass consumes signal; should one ever give back more than it read, step
            // on by a sample rather than read the same stretch for ever.
            if (at_.pos <= before) at_.pos = before + 1;
            if (hooks_.progress != nullptr && at_.pos - told >= step) {
                told = at_.pos;
                hooks_.progress(hooks_.progress_context, static_cast<double>(told) / count);
            }
        }
    }

    std::int32_t blocks() const { return blocks_; }
    bool waiting() const { return waiting_; }

private:
    void pass(std::int32_t search_until) {
        const LoaderSet::Choice chosen = loaders_.serving(blocks_);
        const LoaderDescriptor& loader = *chosen.loader;
        LoaderState& state = *chosen.state;
        const ReadStart start{at_, blocks_, last_block_end_};
        const std::unique_ptr<LoaderState> before = hooks_.retry != nullptr ? state.clone() : nullptr;
        BlockReading r = read_block(loader, edges_, start, loaders_.settings(), state, buffer_, search_until);
        at_ = r.next;
        if (!r.pilot.found) return;
        if (waiting_) close_waiting_block(loader, r.pilot.start);
        BlockSeen seen{r.pilot.start, r.data_start, 0, {}};
        if (hooks_.retry != nullptr && r.block.counted) {
            std::optional<BetterReading> better = hooks_.retry->improve({start, loader, *before, r});
            seen.retry = hooks_.retry->last_outcome();
            if (better) {
                report_.recovered_with(seen.retry.recovered_with);
                r = std::move(better->reading);
                state.assign(*better->state);
                at_ = r.next;
            }
        }
        DecodedBlock& block = r.block;
        waiting_ = block.counted && block.waits;
        if (!block.counted) return;
        ++blocks_;
        last_block_end_ = block.end;
        if (hooks_.observer != nullptr) {
            seen.end = block.end;
            hooks_.observer->block(block, seen);
        }
        hand_over(std::move(block));
    }

    // Ends the waiting block at the pilot just found: its pause line, and its image block.
    void close_waiting_block(const LoaderDescriptor& next, std::int32_t pilot_start) {
        const std::int32_t k = blocks_;
        float pause = static_cast<float>((static_cast<double>(pilot_start) - last_block_end_) / edges_.sample_rate());
        if (next.replaces_gap != nullptr && next.replaces_gap(loaders_.settings(), k)) pause = 0.0f;
        if (pause < 0.0f) pause = 0.0f;
        if (k != 0) report_.pause(pause);
        if (k != 0 && hooks_.observer != nullptr) hooks_.observer->pause(pause);
        if (k != 0) sink_.release(pause);
    }

    // The block's report and its bytes, in the order the console and the TAP file show
    // them: the lines before its sub-blocks, each sub-block's line with the sub-block, then
    // the block's own line, left open.
    void hand_over(DecodedBlock&& block) {
        report_.before(block);
        sink_.lead_in(block);
        for (std::size_t i = 0; i < block.subblocks.size(); ++i) {
            report_.subblock(block.subblocks[i]);
            if (i + 1 < block.subblocks.size()) sink_.subblock(block, i);
        }
        report_.block(block);
        if (block.waits) sink_.take(std::move(block));
    }

    const EdgeView edges_;
    CursorState at_;  // where the next pass starts
    LoaderSet& loaders_;
    BlockSink& sink_;
    Report& report_;
    const ConversionHooks& hooks_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kBlockDataSize);
    std::int32_t blocks_ = 0;          // the blocks found so far: the index of the next
    std::int32_t last_block_end_ = 0;  // where the last block found ended
    bool waiting_ = false;             // a block waits, and its report line is open
};

}  // namespace

ConversionResult run_conversion(Context& cx, const ConversionHooks& hooks) {
    Settings& s = cx.settings;
    Report report(cx.console);
    if (!cx.image.is_open() && !cx.image.open_file(s.output_name)) {
        report.cannot_create(s.output_name);
        return {};
    }
    LoaderSet loaders(s);
    KvrSink kvr(cx.image, loaders);
    TapSink tap(cx.image, report, s.output_name);
    BlockSink& sink = s.tap_output ? static_cast<BlockSink&>(tap) : kvr;
    sink.start();
    report.creating(s.tap_output);

    Conversion conversion(cx.recording, loaders, sink, report, hooks);
    conversion.run();
    if (hooks.keep_output != nullptr && !hooks.keep_output(hooks.keep_output_context)) {
        cx.image.abandon();
        return {};
    }

    const std::int32_t blocks = conversion.blocks();
    if (blocks == 0) {
        report.no_blocks();
        // Nothing to keep: no output file is left, and one of that name stays as it was.
        cx.image.abandon();
        return {true, 0};
    }
    if (conversion.waiting()) sink.release(0.0f);
    report.end();
    if (!cx.image.finish()) {
        report.cannot_write(s.output_name);
        return {false, blocks};
    }
    return {true, blocks};
}

}  // namespace kvr
