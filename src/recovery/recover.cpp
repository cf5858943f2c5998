// The recovering conversion: the front end, then the classic conversion with a retry for
// every block that does not check out, then a summary.
#include "recovery/recover.hpp"

#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "context.hpp"
#include "formats/csw_format.hpp"
#include "frontend/front_end.hpp"
#include "recovery/retry.hpp"

namespace kvr {

namespace {

// A progress line on standard error for long recordings, when it is a terminal.
void show_progress(void*, double done) {
    std::fprintf(stderr, "\rConverting ... %3d %%", static_cast<int>(done * 100.0));
    if (done >= 1.0) std::fputs("\r                    \r", stderr);
}

}  // namespace

ConversionResult run_recovering_conversion(Context& cx, Bytes file, bool terminal, const PcmFetcher* fetcher,
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
    SampleVector mixed;
    SampleInfo info;
    PcmRun run;
    const bool pulses =
        file.size() >= csw::kSignatureSize && std::memcmp(file.data(), csw::kSignature, csw::kSignatureSize) == 0;
    if (parse_wav(file, info, run) == LOAD_OK) {
        channels = std::make_unique<PcmFrameSource>(file, run, fetcher);
    } else if (!pulses) {
        SampleCollector collect(mixed);
        if (read_any(file, info, collect) == LOAD_OK) channels = std::make_unique<SampleFrameSource>(mixed);
    }
    const std::int32_t rate = cx.recording.sample_rate;
    const bool long_recording = rate > 0 && cx.recording.count / rate > 60;
    const bool progress = long_recording && terminal;
    // The classic levels stay for the retries; the front end's take their place for the
    // conversion (without channels, the classic levels are the conversion's too).
    Recording classic_levels;
    if (channels) {
        if (progress) std::fputs("Conditioning the signal ...", stderr);
        classic_levels = std::move(cx.recording);
        cx.recording = condition_signal(*channels, rate, {}, taps.front_end);
        if (progress) std::fputs("\r                           \r", stderr);
    }
    const Recording& classic = channels ? classic_levels : cx.recording;
    ChecksumRetry retry(channels.get(), classic, cx.settings, cx.console);
    ConversionHooks hooks;
    hooks.retry = &retry;
    hooks.observer = taps.observer;
    if (progress) hooks.progress = show_progress;
    const ConversionResult result = run_conversion(cx, hooks);
    const RetryCounts& n = retry.counts();
    if (result.blocks > 0)
        cx.console.print("Blocks: %d, good checksums: %d, recovered by a retry: %d, still bad: %d\n", n.blocks, n.good,
                         n.recovered, n.blocks - n.good);
    if (taps.finished) {
        const RecordingFrameSource levels(classic);
        taps.finished(channels ? static_cast<const FrameSource&>(*channels) : levels);
    }
    return result;
}

}  // namespace kvr
