// kvrtool convert: the converter with long options, a signal front end and checksum-guided
// retries. Its options set kelvarin's settings and it reports as kelvarin does; --exact runs
// kelvarin's own conversion.
#include "tool/convert.hpp"

#include <memory>
#include <unistd.h>

#include "conversion/context.hpp"
#include "run/convert_file.hpp"
#include "tool/commands.hpp"
#include "tool/convert_options.hpp"
#include "tool/merge.hpp"

namespace kvr {

namespace {

std::string usage() {
    return "Usage: kvrtool convert INPUT [INPUT ...] [-o OUTPUT] [options]\n"
           "\n"
           "Converts a recording (WAV, CSW, VOC, or any sound file the sound library reads) into a\n"
           "KVR image or a TAP file. A signal front end conditions the recording first, and every\n"
           "block whose checksum fails is read again with other settings until one checks out.\n"
           "The report is kelvarin's, followed by a summary.\n"
           "\n"
           "Several recordings of one tape make one image: each is converted as above, then their\n"
           "blocks are matched, the readings that check out kept and the bad ones voted bit by bit.\n"
           "\n" +
           convert_option_lines("the image to write, -o for short; .tap makes a TAP file (default: INPUT.kvr)", true);
}

}  // namespace

int convert_command(std::span<const std::string> args, std::FILE* out, std::FILE* err) {
    ConvertRequest request;
    std::string error;
    if (!parse_convert_arguments("convert", args, request, error)) {
        std::fprintf(err, "kvrtool: %s\n\n%s", error.c_str(), usage().c_str());
        return 2;
    }
    if (request.help) {
        std::fputs(usage().c_str(), out);
        return 0;
    }
    const bool merge = !request.more_inputs.empty() || request.copies;
    if (merge && request.exact) {
        std::fprintf(err, "kvrtool: --exact converts one recording alone\n");
        return 2;
    }
    auto cx = std::make_unique<Context>(out, err);
    ConversionOptions options;
    options.recover = !request.exact;
    options.terminal = ::isatty(2) == 1;
    const int status = merge ? run_merge(*cx, request, options) : run_conversion_request(*cx, request, options);
    // The classic report names the image it could not create; this says why.
    if (!request.exact && !cx->image.open_error().empty())
        cx->console.warn("kvrtool: cannot create %s: %s\n", cx->settings.output_name.c_str(), cx->image.open_error().c_str());
    cx->console.flush();
    return status;
}

}  // namespace kvr
