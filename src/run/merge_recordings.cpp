#include "run/merge_recordings.hpp"

#include "conversion/context.hpp"

namespace kvr {

namespace {

// The recording converted on its own: its tape, or none with the reason reported.
std::optional<Capture> capture_of(Context& cx, const std::string& input, const ConversionOptions& options) {
    Capture c;
    c.name = input;
    cx.settings.input_name = input;
    cx.recording.clear();
    ConversionOptions own = options;
    own.taps.found = &c.tape;
    const std::optional<ConversionResult> r = convert_file(cx, own);
    if (!r || !r->ok) return std::nullopt;
    if (r->blocks == 0) {
        cx.console.warn("kvrtool: %s holds no block\n", input.c_str());
        return std::nullopt;
    }
    c.rate = cx.recording.sample_rate;
    return c;
}

void print_counts(Console& console, const MergeCounts& n) {
    console.print("Merged: %d blocks from %d recording%s, repaired by voting: %d, conflicts: %d, still bad: %d, left out as noise: %d\n",
                  n.blocks, n.recordings, n.recordings == 1 ? "" : "s", n.voted, n.conflicts, n.bad, n.left_out);
}

}  // namespace

MergeOutcome merge_recordings(Context& cx, const MergeRequest& request, const ConversionOptions& options) {
    MergeOutcome out;
    std::vector<Capture> captures;
    bool all = true;
    for (std::size_t i = 0; i < request.inputs.size(); ++i) {
        cx.console.print("\nRecording %zu of %zu: %s\n", i + 1, request.inputs.size(), request.inputs[i].c_str());
        std::optional<Capture> c = capture_of(cx, request.inputs[i], options);
        if (!c) {
            all = false;
            continue;
        }
        if (!request.copies) {
            captures.push_back(std::move(*c));
            continue;
        }
        for (Capture& copy : split_copies(*c)) captures.push_back(std::move(copy));
    }
    cx.settings.input_name.clear();
    if (!all && !request.partial) {
        cx.console.warn("kvrtool: nothing written: a recording could not be merged (--partial merges the others)\n");
        return out;
    }
    if (captures.empty()) {
        cx.console.warn("kvrtool: nothing written: no recording holds a block\n");
        return out;
    }
    Merged merged = merge_captures(captures, request.partial);
    if (!merged.refused.empty()) {
        cx.console.warn("kvrtool: %s\n", merged.refused.c_str());
        if (!request.partial) {
            cx.console.warn("kvrtool: nothing written (--partial merges the others)\n");
            return out;
        }
    }
    cx.console.print("\nThe merged tape:\n\n");
    out.counts = merged.counts;
    out.written = write_tape(cx, std::move(merged.tape), request.observer, options.taps.says_creating);
    if (out.written->ok && out.written->blocks > 0) print_counts(cx.console, out.counts);
    return out;
}

}  // namespace kvr
