// The inputs of the conversion fuzzers: the first two bytes choose the switches, the rest is
// the recording (any of the readers' formats, or raw samples at 44100 Hz).
#pragma once

#include <cstdint>

#include "conversion/context.hpp"
#include "input/edge_builder.hpp"
#include "loaders/registry.hpp"
#include "loaders/speedlock_common.hpp"

// Bytes that no reader takes are converted as samples of their own, at 44100 Hz.
inline void use_raw_bytes_if_unread(kvr::Context& cx, kvr::Bytes file) {
    if (cx.recording.count != 0) return;
    kvr::EdgeBuilder edges(cx.recording);
    edges.samples(reinterpret_cast<const std::int8_t*>(file.data()), file.size());
    cx.recording.sample_rate = 44100;
}

// Sets the context's switches from data[0, 2) (at least two bytes), with an output kept in memory.
inline void set_fuzz_switches(kvr::Context& cx, const std::uint8_t* data) {
    kvr::Settings& s = cx.settings;
    const std::uint8_t a = data[0], b = data[1];
    s.tap_output = a & 1;
    if (a & 2) kvr::apply_loader_switch(s, "/bleep");
    s.middle_value = a & 4;
    s.alternative_bits = a & 8;
    s.ignore_partial_byte = a & 16;
    s.end_given = a & 32;
    s.rom_bit_timings = a & 64;
    if (a & 128) kvr::apply_loader_switch(s, "/diload");
    speedlock_settings(s).type = b % 5;
    speedlock_settings(s).variant = (b >> 3) & 3;
    s.min_pilot_hps = (b & 0x80) ? 0 : 20;
    s.force_sync = b & 0x40;
    s.output_name = "fuzz.kvr";
    cx.image.open_memory();
}

// Sets the switches and loads data[2, size) as the recording, of at most `max_samples`
// samples. False when the readers refuse it.
inline bool load_fuzz_recording(kvr::Context& cx, const std::uint8_t* data, std::size_t size, std::int64_t max_samples) {
    if (size < 2) return false;
    set_fuzz_switches(cx, data);
    const kvr::Bytes file(data + 2, size - 2);
    if (!kvr::load_sample_bytes(cx, file, max_samples)) return false;
    use_raw_bytes_if_unread(cx, file);
    return true;
}
