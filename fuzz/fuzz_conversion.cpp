// A whole conversion of arbitrary bytes: the first two bytes choose the switches, the rest
// is the recording (any of the three formats, or raw samples at 44100 Hz).
#include <memory>

#include "fuzz_recording.hpp"

// The most samples a recording may expand to. The default keeps each run quick; the build
// fuzz_conversion_long raises it to 2^24, a minute of recording at up to 279 kHz, to reach
// the paths that only long recordings take.
#ifndef KELVARIN_FUZZ_MAX_SAMPLES
#define KELVARIN_FUZZ_MAX_SAMPLES (1 << 22)
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto cx = std::make_unique<kvr::Context>();
    if (!load_fuzz_recording(*cx, data, size, KELVARIN_FUZZ_MAX_SAMPLES)) return 0;
    kvr::run_conversion(*cx);
    return 0;
}
