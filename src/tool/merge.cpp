#include "tool/merge.hpp"

#include "conversion/context.hpp"
#include "run/merge_recordings.hpp"
#include "tool/commands.hpp"

namespace kvr {

int run_merge(Context& cx, ConvertRequest& r, const ConversionOptions& options) {
    MergeRequest merge{{r.input}, r.copies, r.partial};
    merge.inputs.insert(merge.inputs.end(), r.more_inputs.begin(), r.more_inputs.end());
    Settings& s = cx.settings;
    s = std::move(r.settings);
    if (ends_with_tap(r.output)) s.tap_output = true;
    s.output_name = !r.output.empty() ? r.output : derive_output_name(r.input, s.tap_output);
    keep_report_out_of_the_image(cx.console, s.output_name);
    print_banner(cx.console);
    const MergeOutcome out = merge_recordings(cx, merge, options);
    cx.recording.clear();
    return exit_status(out.written);
}

}  // namespace kvr
