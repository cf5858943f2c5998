// The conversion driver: one pass per pilot found, each block written one step late.
//
// A pass asks the loader that serves the next block to read it (find its pilot, step past
// the sync, decode). Every pilot found goes to the tape writer: it ends the waiting block's
// line with the pause up to the pilot, and the new block is reported and handed to the
// sink, its data waiting until the next pilot, or the end, tells the pause after it.
#include "conversion/driver.hpp"

#include <algorithm>
#include <memory>
#include <vector>

#include "analysis/bits.hpp"
#include "loaders/read_block.hpp"
#include "conversion/context.hpp"
#include "conversion/kvr_sink.hpp"
#include "conversion/tap_sink.hpp"
#include "conversion/tape_writer.hpp"
#include "loaders/registry.hpp"
#include "loaders/report.hpp"

namespace kvr {

namespace {

// Reads the recording pass by pass, handing every pilot found, with its block, to `found`.
class Reading {
public:
    Reading(const Recording& recording, LoaderSet& loaders, const ConversionHooks& hooks)
        : edges_(recording), loaders_(loaders), hooks_(hooks) {}

    template <class Found>
    void run(Found found) {
        std::int32_t told = 0;
        const std::int32_t count = edges_.count();
        const std::int32_t step = count / 100 + 1;
        while (at_.pos < count) {
            const std::int32_t before = at_.pos;
            // Searches that find no pilot go on within one reading up to where progress is
            // told next: most of a recording is passed over that way.
            std::optional<FoundPilot> f = pass(static_cast<std::int32_t>(std::min<std::int64_t>(std::int64_t{told} + step, count)));
            if (f) found(std::move(*f));
            // Every pass consumes signal; should one ever give back more than it read, step
            // on by a sample rather than read the same stretch for ever.
            if (at_.pos <= before) at_.pos = before + 1;
            if (hooks_.progress != nullptr && at_.pos - told >= step) {
                told = at_.pos;
                hooks_.progress(hooks_.progress_context, static_cast<double>(told) / count);
            }
        }
    }

private:
    std::optional<FoundPilot> pass(std::int32_t search_until) {
        const LoaderSet::Choice chosen = loaders_.serving(blocks_);
        const LoaderDescriptor& loader = *chosen.loader;
        LoaderState& state = *chosen.state;
        const ReadStart start{at_, blocks_, last_block_end_};
        const std::unique_ptr<LoaderState> before = hooks_.retry != nullptr ? state.clone() : nullptr;
        BlockReading r = read_block(loader, edges_, start, loaders_.settings(), state, buffer_, search_until);
        at_ = r.next;
        if (!r.pilot.found) return std::nullopt;
        FoundPilot found{r.pilot.start, loader.replaces_gap != nullptr && loader.replaces_gap(loaders_.settings(), blocks_),
                         std::nullopt};
        BlockSeen seen{r.pilot.start, r.data_start, 0, {}, std::nullopt};
        if (hooks_.retry != nullptr && r.block.counted) {
            std::optional<BetterReading> better = hooks_.retry->improve({start, loader, *before, r});
            seen.retry = hooks_.retry->last_outcome();
            if (better) {
                r = std::move(better->reading);
                state.assign(*better->state);
                at_ = r.next;
            }
        }
        if (r.block.counted) {
            ++blocks_;
            last_block_end_ = r.block.end;
        }
        seen.end = r.block.end;
        found.block = FoundBlock{std::move(r.block), seen, {}};
        return found;
    }

    const EdgeView edges_;
    CursorState at_;  // where the next pass starts
    LoaderSet& loaders_;
    const ConversionHooks& hooks_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kBlockDataSize);
    std::int32_t blocks_ = 0;          // the blocks found so far: the index of the next
    std::int32_t last_block_end_ = 0;  // where the last block found ended
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
    if (hooks.says_creating) report.creating(s.tap_output);

    TapeWriter writer(report, sink, cx.recording.sample_rate, hooks.observer);
    Reading reading(cx.recording, loaders, hooks);
    if (hooks.mender == nullptr) {
        reading.run([&writer](FoundPilot&& f) { writer.add(std::move(f)); });
    } else {
        FoundTape tape;
        reading.run([&tape](FoundPilot&& f) { tape.push_back(std::move(f)); });
        hooks.mender->mend(tape);
        for (FoundPilot& f : tape) writer.add(std::move(f));
    }
    if (hooks.keep_output != nullptr && !hooks.keep_output(hooks.keep_output_context)) {
        cx.image.abandon();
        return {};
    }

    const std::int32_t blocks = writer.blocks();
    if (!writer.finish()) {
        report.no_blocks();
        // Nothing to keep: no output file is left, and one of that name stays as it was.
        cx.image.abandon();
        return {true, 0};
    }
    if (!cx.image.finish()) {
        report.cannot_write(s.output_name);
        return {false, blocks};
    }
    return {true, blocks};
}

}  // namespace kvr
