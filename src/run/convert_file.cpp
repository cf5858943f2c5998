#include "run/convert_file.hpp"

#include <sys/stat.h>

#include "conversion/context.hpp"
#include "input/file_bytes.hpp"
#include "output/safe_output.hpp"
#include "recovery/recovery_input.hpp"
#include "run/read_while_converting.hpp"

namespace kvr {

namespace {

// Hands every sample to two sinks: the classic levels and what the report page draws.
class BothSinks final : public SampleSink {
public:
    BothSinks(SampleSink& a, SampleSink& b) : a_(a), b_(b) {}
    bool expect(std::int64_t total) override { return a_.expect(total) && b_.expect(total); }
    bool samples(const std::int8_t* p, std::size_t n) override { return a_.samples(p, n) && b_.samples(p, n); }
    bool run(bool low, std::uint64_t n) override { return a_.run(low, n) && b_.run(low, n); }
    bool pcm(Bytes file, std::uint64_t offset, std::size_t frames, const PcmFormat& format,
             const PcmFetcher* fetcher) override {
        return a_.pcm(file, offset, frames, format, fetcher) && b_.pcm(file, offset, frames, format, fetcher);
    }
    void clear() override {
        a_.clear();
        b_.clear();
    }

private:
    SampleSink& a_;
    SampleSink& b_;
};

// What was read past the end of a file cut short while it was read is not the recording.
bool still_whole(Context& cx, const FileBytes& file) {
    if (!file.shrank()) return true;
    cx.recording.clear();
    report_error(cx.console, Error::cannot_read_input, cx.settings.input_name);
    return false;
}

// The recovering conversion, its tape judged before it is written and summed up after.
std::optional<ConversionResult> recover(Context& cx, const FileBytes& file, const ConversionOptions& options) {
    RecoveryInput input(file.bytes(), cx.recording);
    if (!load_for_recovery(cx, file.bytes(), input, &file) || !still_whole(cx, file)) return std::nullopt;
    TapeSummary own;
    TapeSummary& summary = options.summary != nullptr ? *options.summary : own;
    summary.recording(cx.recording.sample_rate, cx.recording.count, input.cut_short());
    RecoveryTaps taps = options.taps;
    taps.judge = &summary;
    // The summary ends the report, before whatever the caller prints at the end.
    bool summed_up = false;
    auto sum_up = [&cx, &summary, &summed_up] {
        if (!summed_up && summary.totals().blocks > 0) cx.console.print("%s\n", summary_line(summary.totals()).c_str());
        summed_up = true;
    };
    taps.finished = [&sum_up, then = options.taps.finished](const FrameSource& frames) {
        sum_up();
        if (then) then(frames);
    };
    const ConversionResult result = run_recovering_conversion(cx, file.bytes(), input, options.terminal, &file, taps);
    if (result.blocks > 0) sum_up();
    return result;
}

// The classic conversion of the whole recording loaded first, for whoever watches its blocks
// or judges its tape.
std::optional<ConversionResult> classic_loaded(Context& cx, const FileBytes& file, const ConversionOptions& options) {
    if (!load_opened_file(cx.settings.input_name, file, cx.recording, cx.console)) return std::nullopt;
    if (options.summary != nullptr) options.summary->recording(cx.recording.sample_rate, cx.recording.count, false);
    ConversionHooks hooks;
    hooks.observer = options.taps.observer;
    hooks.mender = options.summary;
    hooks.says_creating = options.taps.says_creating;
    return run_conversion(cx, hooks);
}

// The classic conversion, with the recording's frames kept for whoever asked for them.
std::optional<ConversionResult> classic_with_frames(Context& cx, const FileBytes& file, const ConversionOptions& options) {
    Recording kept;
    RecoveryInput frames(file.bytes(), kept, RecoveryInput::Pulses::mixed);
    EdgeBuilder levels(cx.recording);
    BothSinks both(levels, frames);
    SampleInfo info;
    bool taken = false;
    if (!load_into(file.bytes(), both, info, cx.console, kMaxSamples, &file, &taken) || !still_whole(cx, file))
        return std::nullopt;
    if (!frames.finish(info)) {
        report_error(cx.console, Error::no_memory);
        return std::nullopt;
    }
    if (taken) cx.recording.sample_rate = info.rate;
    ConversionHooks hooks;
    hooks.observer = options.taps.observer;
    hooks.says_creating = options.taps.says_creating;
    const ConversionResult result = run_conversion(cx, hooks);
    const RecordingFrameSource as_levels(cx.recording);
    if (frames.frames()) {
        options.taps.finished(PcmFrameSource(file.bytes(), *frames.frames(), &file));
    } else if (!frames.mixed().empty() && frames.mixed().size() == static_cast<std::size_t>(cx.recording.count)) {
        options.taps.finished(SampleFrameSource(frames.mixed()));
    } else {
        options.taps.finished(as_levels);
    }
    return result;
}

}  // namespace

std::string derive_output_name(const std::string& input_name, bool tap_output) {
    const char* extension = tap_output ? "tap" : "kvr";
    const std::size_t slash = input_name.rfind('/');
    const std::size_t component = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = input_name.rfind('.');
    if (dot == std::string::npos || dot < component) return input_name + "." + extension;
    return input_name.substr(0, dot + 1) + extension;
}

void print_banner(Console& console) {
    console.print("\nVornak Utilities - VOC/CSW/WAV to KVR Converter - Build 13/10/2002\n");
}

void keep_report_out_of_the_image(Console& console, const std::string& output_name) {
    const int out = console.output_fd();
    if (out < 0) return;
    struct stat st {};
    if (::fstat(out, &st) != 0 || S_ISCHR(st.st_mode)) return;
    if (is_same_file(output_name, out)) console.use_errors_for_output();
}

std::optional<ConversionResult> convert_file(Context& cx, const ConversionOptions& options) {
    const Settings& s = cx.settings;
    if (is_same_regular_file(s.input_name, s.output_name)) {
        report_error(cx.console, Error::output_is_input, s.output_name);
        return std::nullopt;
    }
    FileBytes file;
    if (!file.open(s.input_name)) {
        report_error(cx.console, Error::cannot_open_input, s.input_name);
        return std::nullopt;
    }
    if (options.recover) return recover(cx, file, options);
    if (options.taps.finished) return classic_with_frames(cx, file, options);
    if (options.summary != nullptr || options.taps.observer != nullptr) return classic_loaded(cx, file, options);
    if (options.read_while_converting) return load_and_convert(cx, file);
    if (!load_opened_file(s.input_name, file, cx.recording, cx.console)) return std::nullopt;
    return run_conversion(cx);
}

}  // namespace kvr
