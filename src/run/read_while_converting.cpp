#include "run/read_while_converting.hpp"

#include <sys/stat.h>

#include <string>
#include <utility>

#include "conversion/context.hpp"
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

// The load step on another thread, and what the conversion shows meanwhile: held until the
// load step's own lines are shown, and dropped when the load fails.
class SideBySide {
public:
    SideBySide(Context& cx, Running<bool>& loading, Console& load_text)
        : cx_(cx), loading_(loading), load_text_(load_text) {
        std::swap(cx_.console, held_);
    }
    ~SideBySide() {
        if (!live_) std::swap(cx_.console, held_);
    }

    // Once the load step has read the whole file well, the lines so far are shown and the
    // rest of the report as it comes.
    void show_when_loaded() {
        if (!live_ && loading_.ready() && loaded_well()) show();
    }
    bool loaded_well() {
        if (!ok_) ok_ = loading_.get();
        return *ok_;
    }
    // At the end: the load step's lines, and the report unless the load failed.
    void show() {
        if (live_) return;
        std::swap(cx_.console, held_);
        live_ = true;
        load_text_.play_to(cx_.console);
        if (loaded_well()) held_.play_to(cx_.console);
    }

    static void progress(void* self, double) { static_cast<SideBySide*>(self)->show_when_loaded(); }
    static bool keep_output(void* self) { return static_cast<SideBySide*>(self)->loaded_well(); }

private:
    Context& cx_;
    Running<bool>& loading_;
    Console& load_text_;
    Console held_ = Console::holding();
    std::optional<bool> ok_;
    bool live_ = false;
};

std::optional<ConversionResult> one_after_the_other(Context& cx, const FileBytes& file) {
    if (!load_opened_file(cx.settings.input_name, file, cx.recording, cx.console)) return std::nullopt;
    return run_conversion(cx);
}

// The output is opened before the load step ends only where a failed load leaves no trace:
// a file written under a temporary name. A device, a pipe or a file written in place is
// opened once the recording has been read, as ever.
bool open_output_aside(Context& cx) {
    const std::string& name = cx.settings.output_name;
    struct stat st {};
    if (::stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return false;
    if (!cx.image.open_file(name)) return false;
    if (cx.image.writes_aside()) return true;
    cx.image.abandon();
    return false;
}

}  // namespace

std::optional<ConversionResult> load_and_convert(Context& cx, const FileBytes& file) {
    Recording header;
    if (!read_header(file, header) || !open_output_aside(cx)) return one_after_the_other(cx, file);

    EdgeFeed feed;
    Recording loaded;
    Console load_text = Console::holding();
    Running<bool> loading = run_elsewhere([&] {
        // However the load step ends, the analysis learns that no more edges will come.
        struct Closing {
            EdgeFeed& feed;
            ~Closing() { feed.close(); }
        } closing{feed};
        return load_opened_file(cx.settings.input_name, file, loaded, load_text, &feed);
    });
    if (!feed.wait_open()) {
        // Not read in long pieces after all: converted once it is loaded.
        const bool ok = loading.get();
        load_text.play_to(cx.console);
        if (!ok) {
            cx.image.abandon();
            return std::nullopt;
        }
        cx.recording = std::move(loaded);
        return run_conversion(cx);
    }

    header.feed = &feed;
    cx.recording = header;
    SideBySide side(cx, loading, load_text);
    ConversionHooks hooks;
    hooks.progress = SideBySide::progress;
    hooks.progress_context = &side;
    hooks.keep_output = SideBySide::keep_output;
    hooks.keep_output_context = &side;
    const ConversionResult result = run_conversion(cx, hooks);
    cx.recording.clear();
    side.show();
    if (!side.loaded_well()) return std::nullopt;
    return result;
}

}  // namespace kvr
