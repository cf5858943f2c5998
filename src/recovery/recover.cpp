// The recovering conversion: the front end, then the classic conversion with a retry for
// every block that does not check out, then a summary.
#include "recovery/recover.hpp"

#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "context.hpp"
#include "formats/csw_format.hpp"
#include "frontend/front_end.hpp"
#include "input/edge_builder.hpp"
#include "input/file_bytes.hpp"
#include "recovery/classic_levels.hpp"
#include "recovery/retry.hpp"

namespace kvr {

namespace {

// A progress line on standard error for long recordings, when it is a terminal.
void show_progress(void*, double done) {
    std::fprintf(stderr, "\rConverting ... %3d %%", static_cast<int>(done * 100.0));
    if (done >= 1.0) std::fputs("\r                    \r", stderr);
}

// The classic levels of the whole file, where the load step kept only its length and the
// front end has nothing to read (a file no reader could give samples for).
bool load_levels(Context& cx, Bytes file, const PcmFetcher* reader) {
    const std::int32_t rate = cx.recording.sample_rate;
    EdgeBuilder edges(cx.recording);
    SampleInfo info;
    const LoadResult result = read_any(file, info, edges, kMaxSamples, reader);
    cx.recording.sample_rate = rate;
    if (result == LOAD_OK || result == LOAD_NOT_THIS_FORMAT) return true;
    const char* message = load_error_message(result);
    report_error(cx.console, message != nullptr ? message : "Not enough memory to load input file!");
    return false;
}

// The front end's levels in place of the loaded ones; false when they cannot be held.
bool condition(Context& cx, const FrameSource& channels, std::int32_t rate, FrontEndSummary& summary) {
    try {
        cx.recording = condition_signal(channels, rate, {}, &summary);
    } catch (const std::bad_alloc&) {
        cx.recording.clear();
        report_error(cx.console, "Not enough memory to load input file!");
        return false;
    }
    return true;
}

bool is_pulse_file(Bytes file) {
    return file.size() >= csw::kSignatureSize && std::memcmp(file.data(), csw::kSignature, csw::kSignatureSize) == 0;
}

// CSW pulses are the levels the conversion reads; anything else is read again by the front
// end, and the classic levels are made only for the stretches a retry reads.
LoadDepth depth_for_recovery(Bytes file) { return is_pulse_file(file) ? LoadDepth::levels : LoadDepth::length; }

}  // namespace

bool load_for_recovery(Context& cx) {
    if (!load_sample_file(cx.settings.input_name, cx.recording, cx.console, depth_for_recovery)) return false;
    if (cx.recording.sample_rate <= kMaxRecoveryRate) return true;
    cx.recording.clear();
    report_error(cx.console, "The sample rate is above " + std::to_string(kMaxRecoveryRate) + " Hz!");
    return false;
}

ConversionResult run_recovering_conversion(Context& cx, Bytes file, bool terminal, const FileBytes* reader,
                                           const RecoveryTaps& taps) {
    // The front end takes and gives back buffers of several megabytes for every piece of
    // the recording: they stay in the heap for the next piece instead of going back to the
    // system, which would hand them out again as fresh pages to be faulted in and cleared.
    // (32 MiB is the highest threshold the allocator takes; a higher one is refused and
    // would leave every buffer over 128 KiB mapped afresh.)
    ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
    // The recording again, for the front end: a WAV file's channels apart, read from the
    // file as they are needed. CSW pulses are levels already. Other files give their
    // samples as the classic reader mixes them, one channel kept in memory.
    std::unique_ptr<FrameSource> channels;
    std::unique_ptr<ClassicLevels> classic;
    SampleVector mixed;
    SampleInfo info;
    PcmRun run;
    const std::int32_t rate = cx.recording.sample_rate;
    if (parse_wav(file, info, run) == LOAD_OK) {
        channels = std::make_unique<PcmFrameSource>(file, run, reader);
        classic = std::make_unique<PcmLevels>(file, run, rate, reader);
    } else if (!is_pulse_file(file)) {
        SampleCollector collect(mixed);
        if (read_any(file, info, collect) == LOAD_OK) {
            channels = std::make_unique<SampleFrameSource>(mixed);
            classic = std::make_unique<SampleLevels>(mixed, rate);
        }
    }
    if (!channels && cx.recording.edges.empty() && !load_levels(cx, file, reader)) return {};
    FrontEndSummary own;
    FrontEndSummary& found = taps.front_end != nullptr ? *taps.front_end : own;
    const bool long_recording = rate > 0 && cx.recording.count / rate > 60;
    const bool progress = long_recording && terminal;
    if (channels) {
        if (progress) std::fputs("Conditioning the signal ...", stderr);
        const bool conditioned = condition(cx, *channels, rate, found);
        if (progress) std::fputs("\r                           \r", stderr);
        if (!conditioned) return {};
        if (reader != nullptr && reader->shrank()) {
            // What was read past the file's new end is not the recording.
            report_error(cx.console, "Cannot read input file " + cx.settings.input_name + " !");
            return {};
        }
    } else {
        classic = std::make_unique<LoadedLevels>(cx.recording);  // the conversion's levels too
    }
    const RecordingFrameSource levels(cx.recording);
    ChecksumRetry retry(channels ? *channels : static_cast<const FrameSource&>(levels), cx.recording, *classic,
                        found.weak, cx.settings, cx.console);
    ConversionHooks hooks;
    hooks.retry = &retry;
    hooks.observer = taps.observer;
    if (progress) hooks.progress = show_progress;
    const ConversionResult result = run_conversion(cx, hooks);
    const RetryCounts& n = retry.counts();
    if (result.blocks > 0)
        cx.console.print("Blocks: %d, good checksums: %d, recovered by a retry: %d, still bad: %d\n", n.blocks, n.good,
                         n.recovered, n.blocks - n.good);
    if (taps.finished) taps.finished(channels ? *channels : static_cast<const FrameSource&>(levels));
    return result;
}

}  // namespace kvr
