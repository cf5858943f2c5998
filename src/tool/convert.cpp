// kvrtool convert: the converter with long options, a signal front end and checksum-guided
// retries. Its options set kelvarin's settings and it reports as kelvarin does; --exact runs
// kelvarin's own conversion. Several recordings are converted one after another, each into
// its own image in the folder of -d, with a line each and the totals.
#include "tool/convert.hpp"

#include <memory>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "conversion/context.hpp"
#include "run/convert_file.hpp"
#include "tool/commands.hpp"
#include "tool/convert_options.hpp"
#include "tool/json_convert.hpp"
#include "tool/merge.hpp"
#include "tool/usage.hpp"

namespace kvr {

namespace {

std::string usage() {
    return "Usage: kvrtool convert INPUT... [-o OUTPUT | -d DIR] [options]\n"
           "\n"
           "Converts a recording (WAV, CSW, VOC, or any sound file the sound library reads) into a\n"
           "KVR image or a TAP file. A signal front end conditions the recording first, and every\n"
           "block whose checksum fails is read again with other settings until one checks out.\n"
           "The report is kelvarin's, followed by a summary. Several recordings become an image\n"
           "each, in the folder of -d or beside each recording, with a summary line each and the\n"
           "totals; several recordings with -o are merged into that one image.\n"
           "An output that exists is replaced only with -f; a sound file's name is never taken.\n"
           "Exit status: 0 every block good, 1 an error or no block, 2 a usage error, 3 an image\n"
           "written with blocks still bad, only noise, or from a recording cut short.\n"
           "\n" +
           convert_option_lines("convert", "the image to write, -o for short; .tap makes a TAP file (default: INPUT.kvr)");
}

// Why an output is not written, and the exit status that says so.
struct Refusal {
    int status;
    std::string message;
};

// A sound file's name is a mistake on the command line (a usage error); a file that is
// there already is replaced only when asked. Devices and pipes are never replaced, only
// written to, and need no asking.
std::optional<Refusal> refusal(const std::string& name, bool force) {
    if (named_as_sound_file(name)) return Refusal{2, error_text(Error::output_named_as_sound, name)};
    struct stat st {};
    if (!force && ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return Refusal{1, error_text(Error::output_exists, name)};
    return std::nullopt;
}

// Converts one recording of the request into told.output, its report to `report` (none: the
// report is not shown), errors to `err`. Returns the exit status, also kept in `told`.
int convert_one(const ConvertRequest& r, ConvertedRecording& told, TapeSummary& summary, std::FILE* report,
                std::FILE* err) {
    auto cx = std::make_unique<Context>(report, err);
    cx->console.send_errors_apart();
    ConversionOptions options;
    options.recover = !r.exact;
    options.terminal = ::isatty(2) == 1;
    // The classic conversion is judged only for the JSON output: its report stays kelvarin's.
    options.summary = !r.exact || r.json ? &summary : nullptr;
    std::optional<ConversionResult> result;
    told.status = run_conversion_request(*cx, r, told.input, told.output, options, &result);
    if (r.exact) told.status = exit_status(result);  // kelvarin's statuses
    told.converted = result.has_value();
    told.tap = cx->settings.tap_output;
    told.summary = &summary;
    // The classic report names the image it could not create; this says why.
    if (!r.exact && !cx->image.open_error().empty())
        cx->console.warn("kvrtool: cannot create %s: %s\n", told.output.c_str(), cx->image.open_error().c_str());
    cx->console.flush();
    return told.status;
}

int convert_single(const ConvertRequest& r, std::FILE* out, std::FILE* err) {
    ConvertedRecording told;
    told.input = r.inputs.front();
    told.output = image_name_for(r, told.input);
    if (const std::optional<Refusal> no = refusal(told.output, r.force)) {
        std::fprintf(err, "kvrtool: %s\n", no->message.c_str());
        return no->status;
    }
    TapeSummary summary;
    const int status = convert_one(r, told, summary, r.json ? nullptr : out, err);
    if (r.json && told.converted) std::fprintf(out, "%s\n", recording_json(told).c_str());
    return status;
}

// Several recordings into the one image of -o.
int merge(const ConvertRequest& r, std::FILE* out, std::FILE* err) {
    if (const std::optional<Refusal> no = refusal(image_name_for(r, r.inputs.front()), r.force)) {
        std::fprintf(err, "kvrtool: %s\n", no->message.c_str());
        return no->status;
    }
    auto cx = std::make_unique<Context>(out, err);
    cx->console.send_errors_apart();
    ConversionOptions options;
    options.recover = !r.exact;
    options.terminal = ::isatty(2) == 1;
    const int status = run_merge(*cx, r, options);
    cx->console.flush();
    return status;
}

// How much a status says is wrong: a failure outweighs an image that is not sound.
int severity(int status) { return status == 0 ? 0 : status == kExitNotSound ? 1 : 2; }

int convert_several(const ConvertRequest& r, std::FILE* out, std::FILE* err) {
    std::set<std::string> written;
    std::vector<std::string> objects;
    TapeTotals total;
    int worst = 0, not_converted = 0;
    for (const std::string& input : r.inputs) {
        ConvertedRecording told;
        told.input = input;
        told.output = image_name_for(r, input);
        TapeSummary summary;
        std::optional<Refusal> no = refusal(told.output, r.force);
        if (!no && written.contains(told.output)) no = Refusal{1, error_text(Error::output_twice, told.output)};
        if (no) {
            std::fprintf(err, "kvrtool: %s\n", no->message.c_str());
            told.status = 1;
        } else {
            convert_one(r, told, summary, nullptr, err);
            written.insert(told.output);
        }
        const bool imaged = told.status == 0 || told.status == kExitNotSound;
        not_converted += imaged ? 0 : 1;
        if (told.converted) total += summary.totals();
        if (severity(told.status) > severity(worst)) worst = told.status;
        if (r.json) {
            objects.push_back(recording_json(told));
        } else if (imaged) {
            std::fprintf(out, "%s -> %s: %s\n", input.c_str(), told.output.c_str(), summary_line(summary.totals()).c_str());
        } else {
            std::fprintf(out, "%s: no image written\n", input.c_str());
        }
        std::fflush(out);
    }
    if (r.json) {
        std::fprintf(out, "%s\n", recordings_json(objects, total, not_converted).c_str());
    } else {
        std::fprintf(out, "Total: %zu recordings, %d without an image; %s\n", r.inputs.size(), not_converted,
                     summary_line(total).c_str());
    }
    return worst;
}

}  // namespace

int convert_command(std::span<const std::string> args, std::FILE* out, std::FILE* err) {
    ConvertRequest request;
    std::string error;
    if (!parse_convert_arguments("convert", args, request, error)) return usage_error(err, usage(), "convert", error);
    if (request.help) {
        std::fputs(usage().c_str(), out);
        return 0;
    }
    struct stat st {};
    if (!request.directory.empty() && (::stat(request.directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
        std::fprintf(err, "kvrtool: %s\n", error_text(Error::output_no_folder, request.directory).c_str());
        return 1;
    }
    if (request.merges() && request.exact) {
        std::fprintf(err, "kvrtool: --exact converts one recording alone\n");
        return 2;
    }
    if (request.merges()) return merge(request, out, err);
    return request.inputs.size() == 1 ? convert_single(request, out, err) : convert_several(request, out, err);
}

}  // namespace kvr
