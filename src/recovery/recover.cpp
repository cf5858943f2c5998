// The recovering conversion: the front end, then the classic conversion with a retry for
// every block that does not check out, then a summary.
#include "recovery/recover.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "conversion/context.hpp"
#include "frontend/front_end.hpp"
#include "input/file_bytes.hpp"
#include "input/file_kind.hpp"
#include "recovery/classic_levels.hpp"
#include "recovery/demod_mender.hpp"
#include "recovery/kept_signal.hpp"
#include "recovery/recovery_input.hpp"
#include "recovery/retry.hpp"

namespace kvr {

namespace {

// A progress line on standard error for long recordings, when it is a terminal.
void show_progress(void* console, double done) {
    char line[40];
    std::snprintf(line, sizeof line, "Converting ... %3d %%", static_cast<int>(done * 100.0));
    static_cast<Console*>(console)->progress(line);
}

// The demodulator's mending, then whoever judges the tape mended.
class MendThenJudge final : public TapeMender {
public:
    MendThenJudge(TapeMender& mender, TapeMender* judge, Console* progress)
        : mender_(mender), judge_(judge), progress_(progress) {}
    void mend(FoundTape& tape) override {
        if (progress_ != nullptr) progress_->progress("Reading again what was read badly ...");
        mender_.mend(tape);
        if (judge_ != nullptr) judge_->mend(tape);
    }

private:
    TapeMender& mender_;
    TapeMender* judge_;
    Console* progress_;
};

// A file no reader took, named for what it is.
void refuse_unknown_file(Context& cx, Bytes file) {
    report_error(cx.console, what_the_file_is(file), cx.settings.input_name);
}

// The front end's levels in place of the loaded ones; false when they cannot be held.
bool condition(Context& cx, const FrameSource& channels, std::int32_t rate, FrontEndSummary& summary) {
    try {
        cx.recording = condition_signal(channels, rate, {}, &summary);
    } catch (const std::bad_alloc&) {
        cx.recording.clear();
        report_error(cx.console, Error::no_memory);
        return false;
    }
    return true;
}

}  // namespace

bool load_for_recovery(Context& cx, Bytes file, RecoveryInput& input, const PcmFetcher* fetcher,
                       std::int64_t max_samples) {
    SampleInfo info;
    bool taken = false;
    if (!load_into(file, input, info, cx.console, max_samples, fetcher, &taken)) return false;
    if (!input.finish(info)) {
        report_error(cx.console, Error::no_memory);
        return false;
    }
    if (!taken) {
        refuse_unknown_file(cx, file);
        return false;
    }
    if (input.cut_short())
        cx.console.warn("Warning: %s (%.2f of %.2f s)\n", error_text(Error::input_cut_short, cx.settings.input_name).c_str(),
                        static_cast<double>(info.length) / info.rate, static_cast<double>(info.stated_length) / info.rate);
    if (info.rate > kMaxRecoveryRate) {
        cx.recording.clear();
        report_error(cx.console, Error::rate_too_high, std::to_string(kMaxRecoveryRate));
        return false;
    }
    cx.recording.sample_rate = info.rate;
    if (!input.pulses()) cx.recording.count = static_cast<std::int32_t>(std::min<std::uint64_t>(input.count(), INT32_MAX));
    return true;
}

ConversionResult run_recovering_conversion(Context& cx, Bytes file, const RecoveryInput& input, bool terminal,
                                           const FileBytes* reader, const RecoveryTaps& taps) {
    // The recording for the front end: a WAV file's channels apart, read from the file as
    // they are needed. CSW pulses are levels already. Other files give their samples as the
    // classic reader mixes them, one channel kept in memory.
    std::unique_ptr<FrameSource> channels;
    std::unique_ptr<ClassicLevels> classic;
    const std::int32_t rate = cx.recording.sample_rate;
    if (input.frames()) {
        channels = std::make_unique<PcmFrameSource>(file, *input.frames(), reader);
        classic = std::make_unique<PcmLevels>(file, *input.frames(), rate, reader);
    } else if (!input.pulses() && !input.mixed().empty()) {
        channels = std::make_unique<SampleFrameSource>(input.mixed());
        classic = std::make_unique<SampleLevels>(input.mixed(), rate);
    }
    FrontEndSummary own;
    FrontEndSummary& found = taps.front_end != nullptr ? *taps.front_end : own;
    const bool long_recording = rate > 0 && cx.recording.count / rate > 60;
    const bool progress = long_recording && terminal;
    if (channels) {
        if (progress) cx.console.progress("Conditioning the signal ...");
        const bool conditioned = condition(cx, *channels, rate, found);
        if (!conditioned) return {};
        if (reader != nullptr && reader->shrank()) {
            // What was read past the file's new end is not the recording.
            report_error(cx.console, Error::cannot_read_input, cx.settings.input_name);
            return {};
        }
    } else {
        classic = std::make_unique<LoadedLevels>(cx.recording);  // the conversion's levels too
    }
    const RecordingFrameSource levels(cx.recording);
    const FrameSource& frames = channels ? *channels : static_cast<const FrameSource&>(levels);
    ChecksumRetry retry(frames, cx.recording, *classic, found.weak, cx.settings);
    DemodMender demodulator(frames, cx.recording, classic.get(), cx.settings);
    MendThenJudge mender(demodulator, taps.judge, progress ? &cx.console : nullptr);
    ConversionHooks hooks;
    hooks.retry = &retry;
    hooks.mender = &mender;
    hooks.observer = taps.observer;
    hooks.found = taps.found;
    hooks.says_creating = taps.says_creating;
    KeptSignal kept(cx.recording, cx.settings.keep_signal, cx.settings.keep_signal && cx.settings.keep_bad_signal);
    if (cx.settings.keep_signal) hooks.keeper = &kept;
    if (progress) {
        hooks.progress = show_progress;
        hooks.progress_context = &cx.console;
    }
    const ConversionResult result = run_conversion(cx, hooks);
    cx.console.clear_progress();
    if (result.blocks > 0 && hooks.keeper != nullptr && !cx.settings.tap_output && hooks.found == nullptr)
        print_kept_summary(cx.console, kept.counts());
    if (taps.finished) taps.finished(channels ? *channels : static_cast<const FrameSource&>(levels));
    return result;
}

}  // namespace kvr
