#include "tool/merge.hpp"

#include "conversion/context.hpp"
#include "run/merge_recordings.hpp"
#include "tool/commands.hpp"

namespace kvr {

int run_merge(Context& cx, const ConvertRequest& r, const ConversionOptions& options, ConversionObserver* observer) {
    const MergeRequest merge{r.inputs, r.copies, r.partial, observer};
    Settings& s = cx.settings;
    s = r.settings;
    if (ends_with_tap(r.output)) s.tap_output = true;
    s.output_name = image_name_for(r, r.inputs.front());
    keep_report_out_of_the_image(cx.console, s.output_name);
    print_banner(cx.console);
    const MergeOutcome out = merge_recordings(cx, merge, options);
    cx.recording.clear();
    if (!out.written) return 1;
    return exit_status(out.written) != 0 ? 1 : out.counts.bad > 0 ? kExitNotSound : 0;
}

}  // namespace kvr
