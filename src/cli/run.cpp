#include "cli/run.hpp"

#include <initializer_list>
#include <memory>
#include <sys/stat.h>

#include "cli/read_while_converting.hpp"
#include "context.hpp"
#include "core/version.hpp"
#include "output/safe_output.hpp"

namespace kvr {

namespace {

// When the image goes to the file that standard output is (`/dev/stdout` into a pipe, or a
// file that standard output was redirected to), the report goes to standard error, so that
// the two never share one stream. Decided before the banner, the first text printed. A
// terminal or /dev/null is no stream that text could spoil.
void keep_report_out_of_the_image(Context& cx, std::span<const std::string> args) {
    const int out = cx.console.output_fd();
    if (out < 0) return;
    auto quiet = std::make_unique<Context>();
    if (parse_command_line(*quiet, args) != ParseOutcome::run) return;
    struct stat st {};
    if (::fstat(out, &st) != 0 || S_ISCHR(st.st_mode)) return;
    if (is_same_file(quiet->settings.output_name, out)) cx.console.use_errors_for_output();
}

// The arguments that only a lone argument means: any other use of them is a file name, as it
// always was.
bool sole_argument(std::span<const std::string> args, std::initializer_list<const char*> names) {
    if (args.size() != 1) return false;
    for (const char* name : names)
        if (args[0] == name) return true;
    return false;
}

}  // namespace

void print_usage(Context& cx) {
    static const char* const kLines[] = {
        "\nUsage: KELVARIN [switches] [INPUT.VOC | INPUT.WAV | INPUT.CSW] [OUTPUT.KVR | OUTPUT.TAP]\n",
        "       Switches:  /tap      Create a .TAP file instead of .KVR\n",
        "                  /rom      Use ROM timings for 0 and 1 bit\n",
        "                  /ignore   Ignore Last Byte if it has less than 8 bits\n",
        "                  /noaprox  DON'T make Bit1 h-p == 2*Bit0 h-p\n",
        "                  /maxp  n  In %% - Max. Treshold between Two HPs of Pilot\n",
        "                  /diff  n  In %% - Min. Treshold between 0 and 1 bit HPs\n",
        "                  /end   n  In %% - Min. Treshold between Two HPs to END block\n",
        "                  /pilot n  In HPs - Min. Number of Pilot HPs for a block\n",
        "                  /std   n  In %% - Max. Treshold for Timing to be Standard\n",
        "                  /force n  In HPs - Force Length of Custom Pilot Tone to n\n",
        "                  /bleep    Use the BleepLoad algorithm for conversion\n",
        "                  /alter    Use Alternative way to recognise 0 or 1 bit!\n",
        "                  /sync     Force SYNC pulses to Standard values!\n",
        "                  /middle   Use Middle Value of bit 0 and 1 !\n",
        "                  /slockX n SpeedLock X (1-4), Variant n (Type 1 and 3 only!)\n",
        "                  /slskip n Skip n Blocks to get to first Speedlock Turbo block\n",
        "                  /diload   Use Digital Integration Loader algorithm\n",
    };
    // Each line is a format of its own, so "%%" shows as "%".
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    for (const char* line : kLines) cx.console.print(line);
#pragma GCC diagnostic pop
}

int run_program(Context& cx, std::span<const std::string> args, const ConversionStep& convert, const LoadStep& load) {
    if (sole_argument(args, {"--version"})) {
        cx.console.print("kelvarin %s\n%s\n", kVersion, kLicenseLine);
        return 0;
    }
    keep_report_out_of_the_image(cx, args);
    cx.console.print("\nVornak Utilities - VOC/CSW/WAV to KVR Converter - Build 13/10/2002\n");
    if (args.empty() || sole_argument(args, {"--help", "-h"})) {
        print_usage(cx);
        return 0;
    }
    if (parse_command_line(cx, args) != ParseOutcome::run) return 1;
    if (is_same_regular_file(cx.settings.input_name, cx.settings.output_name)) {
        report_error(cx.console, Error::output_is_input, cx.settings.output_name);
        return 1;
    }
    ConversionResult result;
    if (!load && !convert) {
        const std::optional<ConversionResult> done = load_and_convert(cx);
        if (!done) return 1;
        result = *done;
    } else {
        const bool loaded = load ? load(cx) : load_sample_file(cx.settings.input_name, cx.recording, cx.console);
        if (!loaded) return 1;
        result = convert ? convert(cx) : run_conversion(cx);
    }
    const bool ok = result.ok && result.blocks > 0;
    cx.recording.clear();
    return ok ? 0 : 1;
}

}  // namespace kvr
