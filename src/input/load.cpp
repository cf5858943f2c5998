// The load step: the readers tried in turn, the info lines, the load errors.
#include <algorithm>
#include <cmath>
#include <optional>

#include "core/console.hpp"
#include "input/file_bytes.hpp"
#include "input/edge_builder.hpp"
#include "input/edge_feed.hpp"
#include "input/readers.hpp"

namespace kvr {

void compute_duration(SampleInfo& info) {
    info.hours = info.minutes = info.seconds = info.hundredths = 0;
    const auto rate = static_cast<std::uint32_t>(info.rate);
    if (rate == 0) return;
    // Every intermediate is a double; s is rounded to single precision only where it is
    // stored, and the two factors are the single-precision values nearest 1/3600 and 1/60.
    float s = static_cast<float>((1.0 / rate) * info.length);
    info.hours = static_cast<std::int32_t>(std::floor(s * static_cast<double>(0.00027777778f)));
    s = static_cast<float>(s - info.hours * 3600.0);
    info.minutes = static_cast<std::int32_t>(std::floor(s * static_cast<double>(0.016666668f)));
    s = static_cast<float>(s - info.minutes * 60.0);
    info.seconds = static_cast<std::int32_t>(std::floor(s));
    info.hundredths = static_cast<std::int32_t>((s - info.seconds) * 100.0);
}

void print_sample_info(Console& console, const SampleInfo& info) {
    console.print("\nType: %s\n", info.type_name);
    console.print("Duration: %02d hrs %02d mins %02d.%02d secs\n", info.hours, info.minutes, info.seconds,
                  info.hundredths);
    console.print("Rate: %d Hz\n", info.rate);
}

std::optional<Error> load_error(LoadResult code) {
    switch (code) {
    case LOAD_NO_MEMORY: return Error::no_memory;
    case LOAD_BAD_VERSION: return Error::bad_version;
    case LOAD_BAD_DATA: return Error::bad_data;
    case LOAD_EMPTY: return Error::empty_file;
    case LOAD_TOO_LONG: return Error::too_long;
    default: return std::nullopt;
    }
}

// The messages are string literals, so each view ends in a terminator.
const char* load_error_message(LoadResult code) {
    const std::optional<Error> e = load_error(code);
    return e ? error_message(*e).data() : nullptr;
}

bool load_sample_file(const std::string& name, Recording& recording, Console& console) {
    FileBytes file;
    if (!file.open(name)) {
        report_error(console, Error::cannot_open_input, name);
        return false;
    }
    return load_opened_file(name, file, recording, console);
}

bool load_opened_file(const std::string& name, const FileBytes& file, Recording& recording, Console& console,
                      EdgeFeed* feed) {
    if (!load_sample_bytes(file.bytes(), recording, console, kMaxSamples, &file, feed)) return false;
    if (file.shrank()) {
        // What was read past the file's new end is not the recording (though an analysis
        // may still be reading its edges).
        if (feed != nullptr) feed->keep(std::move(recording.edges));
        recording.clear();
        report_error(console, Error::cannot_read_input, name);
        return false;
    }
    return true;
}

LoadResult read_any(Bytes file, SampleInfo& info, SampleSink& out, std::int64_t max_samples,
                    const PcmFetcher* fetcher) {
    using Reader = LoadResult (*)(Bytes, SampleInfo&, SampleSink&, std::int64_t, const PcmFetcher*);
    // The sound library comes last, so that every file the first three know stays theirs.
    for (Reader reader : {Reader{read_voc}, Reader{read_wav}, Reader{read_csw}, Reader{read_sound_file}}) {
        info = SampleInfo{};
        const LoadResult result = reader(file, info, out, max_samples, fetcher);
        if (result == LOAD_OK || load_error_message(result) != nullptr) return result;
    }
    return LOAD_NOT_THIS_FORMAT;
}

bool load_into(Bytes file, SampleSink& sink, SampleInfo& info, Console& console, std::int64_t max_samples,
               const PcmFetcher* fetcher, bool* taken) {
    const LoadResult result = read_any(file, info, sink, max_samples, fetcher);
    if (taken != nullptr) *taken = result == LOAD_OK;
    if (result == LOAD_OK) {
        print_sample_info(console, info);
        if (!info.warning.empty()) console.warn("Warning: %s\n", info.warning.c_str());
        return true;
    }
    info = SampleInfo{};
    if (const std::optional<Error> error = load_error(result)) {
        report_error(console, *error);
        return false;
    }
    // No reader knows the file: the conversion runs on an empty recording.
    return true;
}

bool load_sample_bytes(Bytes file, Recording& recording, Console& console, std::int64_t max_samples,
                       const PcmFetcher* fetcher, EdgeFeed* feed) {
    EdgeBuilder edges(recording);
    edges.feed(feed);
    SampleInfo info;
    bool taken = false;
    if (!load_into(file, edges, info, console, max_samples, fetcher, &taken)) return false;
    if (taken) recording.sample_rate = info.rate;
    return true;
}

}  // namespace kvr
