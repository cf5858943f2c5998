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
                         std::nullopt, std::nullopt};
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
        found.block = FoundBlock{std::move(r.block), seen, {}, std::nullopt, {}, std::nullopt};
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

namespace {

// Takes the blocks of a tape that is read and not written.
class DiscardSink final : public BlockSink {
public:
    void subblock(const DecodedBlock&, std::size_t) override {}
    void take(DecodedBlock&&) override {}
    void release(float) override {}
};

// The output of a conversion: the image or TAP file named in the settings (or already open),
// or none when the tape is only read; the sink for it and the tape writer over both.
class Output {
public:
    Output(Context& cx, ConversionObserver* observer, bool discard, bool says_creating = true)
        : cx_(cx), report_(cx.console), loaders_(cx.settings), kvr_(cx.image, loaders_),
          tap_(cx.image, report_, cx.settings.output_name), discard_(discard), says_creating_(says_creating),
          writer_(report_, sink(), cx.recording.sample_rate, observer) {}

    bool open() {
        if (discard_) return true;
        const Settings& s = cx_.settings;
        if (!cx_.image.is_open() && !cx_.image.open_file(s.output_name)) {
            report_.cannot_create(s.output_name);
            return false;
        }
        sink().start();
        if (says_creating_) report_.creating(s.tap_output);
        return true;
    }
    TapeWriter& writer() { return writer_; }
    LoaderSet& loaders() { return loaders_; }

    // The end: the output kept, or dropped when no block was found (then no file is left, and
    // one of that name stays as it was) or when `keep` says so.
    ConversionResult finish(bool keep) {
        if (!keep) {
            if (!discard_) cx_.image.abandon();
            return {};
        }
        const std::int32_t blocks = writer_.blocks();
        if (!writer_.finish()) {
            report_.no_blocks();
            if (!discard_) cx_.image.abandon();
            return {true, 0};
        }
        if (!discard_ && !cx_.image.finish()) {
            report_.cannot_write(cx_.settings.output_name);
            return {false, blocks};
        }
        return {true, blocks};
    }

private:
    BlockSink& sink() {
        if (discard_) return discard_sink_;
        return cx_.settings.tap_output ? static_cast<BlockSink&>(tap_) : kvr_;
    }

    Context& cx_;
    Report report_;
    LoaderSet loaders_;
    KvrSink kvr_;
    TapSink tap_;
    DiscardSink discard_sink_;
    bool discard_;
    bool says_creating_;
    TapeWriter writer_;
};

}  // namespace

ConversionResult run_conversion(Context& cx, const ConversionHooks& hooks) {
    Output out(cx, hooks.observer, hooks.found != nullptr, hooks.says_creating);
    if (!out.open()) return {};
    // The pulses of what no loader read go into an image, not into a tape handed back.
    if (hooks.keeper != nullptr && !cx.settings.tap_output && hooks.found == nullptr)
        out.writer().keep_signal(hooks.keeper, cx.recording.count);
    Reading reading(cx.recording, out.loaders(), hooks);
    if (hooks.mender == nullptr && hooks.found == nullptr) {
        reading.run([&out](FoundPilot&& f) { out.writer().add(std::move(f)); });
    } else {
        FoundTape tape;
        reading.run([&tape](FoundPilot&& f) { tape.push_back(std::move(f)); });
        if (hooks.mender != nullptr) hooks.mender->mend(tape);
        if (hooks.found != nullptr) {
            for (const FoundPilot& f : tape) out.writer().add(FoundPilot(f));
            *hooks.found = std::move(tape);
        } else {
            for (FoundPilot& f : tape) out.writer().add(std::move(f));
        }
    }
    return out.finish(hooks.keep_output == nullptr || hooks.keep_output(hooks.keep_output_context));
}

ConversionResult write_tape(Context& cx, FoundTape&& tape, ConversionObserver* observer, bool says_creating) {
    Output out(cx, observer, false, says_creating);
    if (!out.open()) return {};
    for (FoundPilot& f : tape) out.writer().add(std::move(f));
    return out.finish(true);
}

}  // namespace kvr
