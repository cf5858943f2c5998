// Everything one conversion owns. Every operation takes it by reference, so a test or a
// fuzzer can build a fresh one and run any operation on it.
#pragma once

#include "analysis/working_record.hpp"
#include "core/console.hpp"
#include "core/settings.hpp"
#include "input/sample_buffer.hpp"
#include "loaders/loader_tables.hpp"
#include "output/image_writer.hpp"

namespace kvr {

struct Context {
    Settings settings;
    SampleBuffer samples;
    WorkingRecord work;
    LoaderTables loaders;
    ImageWriter image;
    Console console;

    Context() = default;
    explicit Context(std::FILE* out, std::FILE* err) : console(out, err) {}
};

// The load step on the program's context: settings.input_name into the sample buffer.
inline bool load_sample_file(Context& cx) {
    return load_sample_file(cx.settings.input_name, cx.samples, cx.console);
}
inline bool load_sample_bytes(Context& cx, Bytes file, std::int64_t max_samples = kMaxSamples,
                              const PcmFetcher* fetcher = nullptr) {
    return load_sample_bytes(file, cx.samples, cx.console, max_samples, fetcher);
}

}  // namespace kvr
