// A whole conversion of arbitrary bytes: the first two bytes choose the switches, the rest
// is the recording (any of the three formats, or raw samples at 44100 Hz).
#include <memory>

#include "context.hpp"
#include "input/edge_builder.hpp"

// The most samples a recording may expand to. The default keeps each run quick; the build
// fuzz_conversion_long raises it to 2^24, a minute of recording at up to 279 kHz, to reach
// the paths that only long recordings take.
#ifndef KELVARIN_FUZZ_MAX_SAMPLES
#define KELVARIN_FUZZ_MAX_SAMPLES (1 << 22)
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    auto cx = std::make_unique<kvr::Context>();
    kvr::Settings& s = cx->settings;
    const std::uint8_t a = data[0], b = data[1];
    s.tap_output = a & 1;
    s.bleepload = a & 2;
    s.middle_value = a & 4;
    s.alternative_bits = a & 8;
    s.ignore_partial_byte = a & 16;
    s.end_given = a & 32;
    s.rom_bit_timings = a & 64;
    s.di_loader = a & 128;
    s.speedlock_type = b % 5;
    s.speedlock_variant = (b >> 3) & 3;
    s.min_pilot_hps = (b & 0x80) ? 0 : 20;
    s.force_sync = b & 0x40;
    s.output_name = "fuzz.kvr";
    cx->image.open_memory();
    const kvr::Bytes file(data + 2, size - 2);
    if (!kvr::load_sample_bytes(*cx, file, KELVARIN_FUZZ_MAX_SAMPLES)) return 0;
    if (cx->recording.count == 0) {
        kvr::EdgeBuilder edges(cx->recording);
        edges.samples(reinterpret_cast<const std::int8_t*>(file.data()), file.size());
        cx->recording.sample_rate = 44100;
    }
    kvr::run_conversion(*cx);
    return 0;
}
