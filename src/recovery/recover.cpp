// The recovering conversion: the front end, then the classic conversion with a retry for
// every block that does not check out, then a summary.
#include "recovery/recover.hpp"

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

ConversionResult run_recovering_conversion(Context& cx, Bytes file, bool terminal, const RecoveryTaps& taps) {
    // The recording again, for the front end: a WAV file's channels apart; for other files
    // the classic samples are the one channel. CSW pulses are levels already.
    std::unique_ptr<FrameSource> channels;
    SampleInfo info;
    PcmRun run;
    if (parse_wav(file, info, run) == LOAD_OK) channels = std::make_unique<PcmFrameSource>(file, run);
    const bool pulses =
        file.size() >= csw::kSignatureSize && std::memcmp(file.data(), csw::kSignature, csw::kSignatureSize) == 0;
    const SampleVector classic = cx.samples.sample_data;
    const std::int32_t rate = cx.samples.sample_rate;
    const bool long_recording = rate > 0 && classic.size() / static_cast<std::size_t>(rate) > 60;
    const bool progress = long_recording && terminal;
    const SampleFrameSource mono(classic);
    const FrameSource& source = channels ? static_cast<const FrameSource&>(*channels) : mono;
    if (!pulses) {
        if (progress) std::fputs("Conditioning the signal ...", stderr);
        cx.samples.sample_data = condition_signal(source, rate, {}, taps.front_end);
        if (progress) std::fputs("\r                           \r", stderr);
    }
    ChecksumRetry retry(channels.get(), classic, rate, cx.settings, cx.console);
    ConversionHooks hooks;
    hooks.retry = &retry;
    hooks.observer = taps.observer;
    if (progress) hooks.progress = show_progress;
    const ConversionResult result = run_conversion(cx, hooks);
    const RetryCounts& n = retry.counts();
    if (result.blocks > 0)
        cx.console.print("Blocks: %d, good checksums: %d, recovered by a retry: %d, still bad: %d\n", n.blocks, n.good,
                         n.recovered, n.blocks - n.good);
    if (taps.finished) taps.finished(source);
    return result;
}

}  // namespace kvr
