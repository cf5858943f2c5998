#include "kelvarin/run.hpp"

#include <initializer_list>
#include <memory>

#include "conversion/context.hpp"
#include "core/version.hpp"

namespace kvr {

namespace {

// The report's stream is chosen before the banner, the first text printed, from the files
// the command line names.
void choose_report_stream(Context& cx, std::span<const std::string> args) {
    auto quiet = std::make_unique<Context>();
    if (parse_command_line(*quiet, args) == ParseOutcome::run) keep_report_out_of_the_image(cx.console, quiet->settings.output_name);
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

int run_program(Context& cx, std::span<const std::string> args, const ConversionOptions& options) {
    if (sole_argument(args, {"--version"})) {
        cx.console.print("kelvarin %s\n%s\n", kVersion, kLicenseLine);
        return 0;
    }
    choose_report_stream(cx, args);
    print_banner(cx.console);
    if (args.empty() || sole_argument(args, {"--help", "-h"})) {
        print_usage(cx);
        return 0;
    }
    if (parse_command_line(cx, args) != ParseOutcome::run) return 1;
    const std::optional<ConversionResult> result = convert_file(cx, options);
    cx.recording.clear();
    return exit_status(result);
}

}  // namespace kvr
