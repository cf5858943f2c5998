// Everything one run of the program owns: the settings, the recording, the output and the
// console. Only the program's run and the conversion driver see it; they hand the parts
// below them only what each needs.
#pragma once

#include "conversion/driver.hpp"
#include "core/console.hpp"
#include "core/settings.hpp"
#include "input/readers.hpp"
#include "output/image_writer.hpp"

namespace kvr {

struct Context {
    Settings settings;
    Recording recording;
    ImageWriter image;
    Console console;

    Context() = default;
    explicit Context(std::FILE* out, std::FILE* err) : console(out, err) {}
};

// The load step on the program's context: settings.input_name as the recording.
inline bool load_sample_file(Context& cx) {
    return load_sample_file(cx.settings.input_name, cx.recording, cx.console);
}
inline bool load_sample_bytes(Context& cx, Bytes file, std::int64_t max_samples = kMaxSamples,
                              const PcmFetcher* fetcher = nullptr) {
    return load_sample_bytes(file, cx.recording, cx.console, max_samples, fetcher);
}

}  // namespace kvr
