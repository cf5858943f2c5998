// One run of the converter on the files its settings name: the library's entry for both
// programs. kelvarin runs the classic conversion; kvrtool convert the recovering one, and
// kvrtool report takes what it needs for its page on the way.
#pragma once

#include <optional>
#include <string>

#include "conversion/driver.hpp"
#include "recovery/recover.hpp"
#include "run/tape_summary.hpp"

namespace kvr {

struct Context;
class Console;

struct ConversionOptions {
    bool recover = false;   // the front end and the retries
    bool terminal = false;  // a long recording's progress on standard error
    // The classic conversion of a long WAV recording follows the edges as they are read.
    bool read_while_converting = true;
    RecoveryTaps taps;      // what a caller takes of the conversion besides its report
    // Filled with the verdict on every block, when given. The recovering conversion always
    // judges its tape (its summary line and notes); the classic one only when asked.
    TapeSummary* summary = nullptr;
};

// The image's (or TAP file's) name made of the recording's, its extension replaced.
std::string derive_output_name(const std::string& input_name, bool tap_output);
// The line both programs' reports open with.
void print_banner(Console& console);
// When the output named is the file that standard output already is (a
// pipe, or a file it was redirected to), the report goes to standard error instead, so that
// the two never share one stream. A terminal or /dev/null is no stream that text could spoil.
void keep_report_out_of_the_image(Console& console, const std::string& output_name);

// Opens the recording named in the settings once, checks that the output is not that same
// file, loads the recording (printing its lines) and converts it into the output. Errors
// are reported on the console; nullopt after one that ends the run before the conversion.
std::optional<ConversionResult> convert_file(Context& cx, const ConversionOptions& options);

// The exit status of a run: 0 when blocks were found and written, 1 otherwise; with a
// summary, kExitNotSound for an image written that is not sound (a block still bad, only
// noise, a recording cut short).
inline int exit_status(const std::optional<ConversionResult>& result, const TapeSummary* summary = nullptr) {
    if (!result || !result->ok || result->blocks == 0) return 1;
    return summary != nullptr && !summary->totals().sound() ? kExitNotSound : 0;
}

}  // namespace kvr
