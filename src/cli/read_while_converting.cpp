#include "cli/read_while_converting.hpp"

#include <utility>

#include "context.hpp"
#include "core/worker_pool.hpp"
#include "input/edge_feed.hpp"
#include "input/file_bytes.hpp"

namespace kvr {

namespace {

// Whether the file is WAV whose sound may be read while it is converted; then its length
// and rate, which the analysis needs first, come from its header.
bool read_header(const FileBytes& file, Recording& header) {
    SampleInfo info;
    PcmRun run;
    if (parse_wav(file.bytes(), info, run) != LOAD_OK) return false;
    header.count = info.length;
    header.sample_rate = info.rate;
    return true;
}

// The load step's outcome, asked for when the conversion has read the whole recording or
// stopped early.
struct LoadVerdict {
    Running<bool>& loading;
    std::optional<bool> ok;

    bool get() {
        if (!ok) ok = loading.get();
        return *ok;
    }
    static bool keep_output(void* self) { return static_cast<LoadVerdict*>(self)->get(); }
};

std::optional<ConversionResult> one_after_the_other(Context& cx) {
    if (!load_sample_file(cx)) return std::nullopt;
    return run_conversion(cx);
}

}  // namespace

std::optional<ConversionResult> load_and_convert(Context& cx) {
    FileBytes file;
    Recording header;
    if (!file.open(cx.settings.input_name) || !read_header(file, header)) return one_after_the_other(cx);

    EdgeFeed feed;
    Recording loaded;
    Console load_text = Console::holding();
    Running<bool> loading = run_elsewhere([&] {
        // However the load step ends, the analysis learns that no more edges will come.
        struct Closing {
            EdgeFeed& feed;
            ~Closing() { feed.close(); }
        } closing{feed};
        return load_opened_file(cx.settings.input_name, file, loaded, load_text, LoadDepth::levels, &feed);
    });
    LoadVerdict verdict{loading, {}};
    if (!feed.wait_open()) {
        // Not read in long pieces after all: converted once it is loaded.
        load_text.play_to(cx.console);
        if (!verdict.get()) return std::nullopt;
        cx.recording = std::move(loaded);
        return run_conversion(cx);
    }

    // The report waits for the load step's lines, and is dropped when the load fails.
    header.feed = &feed;
    cx.recording = header;
    Console report = Console::holding();
    std::swap(cx.console, report);
    ConversionHooks hooks;
    hooks.keep_output = LoadVerdict::keep_output;
    hooks.keep_output_context = &verdict;
    const ConversionResult result = run_conversion(cx, hooks);
    std::swap(cx.console, report);
    cx.recording.clear();
    const bool loaded_well = verdict.get();
    load_text.play_to(cx.console);
    if (!loaded_well) return std::nullopt;
    report.play_to(cx.console);
    return result;
}

}  // namespace kvr
