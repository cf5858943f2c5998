// kvrtool report: the conversion of kvrtool convert (or, with --exact, the classic one),
// its blocks gathered as it reports them, then one HTML page written instead of an image.
#include "tool/report.hpp"

#include <memory>
#include <unistd.h>

#include "conversion/context.hpp"
#include "output/safe_output.hpp"
#include "report_page/block_collector.hpp"
#include "report_page/json_text.hpp"
#include "report_page/merged_facts.hpp"
#include "report_page/page_writer.hpp"
#include "report_page/recording_facts.hpp"
#include "tool/commands.hpp"
#include "tool/convert_options.hpp"
#include "tool/merge.hpp"
#include "tool/usage.hpp"

namespace kvr {

namespace {

std::string usage() {
    return "Usage: kvrtool report INPUT [INPUT ...] [-o REPORT.html] [options]\n"
           "\n"
           "Analyses a recording as 'kvrtool convert' does, with the same options, prints the same\n"
           "report, and writes one self-contained HTML page instead of an image: a timeline of the\n"
           "blocks, each block's fields and half-periods, where a bad block went wrong, its least\n"
           "certain bits, and the amplitude of each channel. The page is written also when no block\n"
           "is found. Given several recordings of one tape (or --copies), it merges them as\n"
           "'kvrtool convert' does and the page shows the merged tape, each block with its source.\n"
           "\n" +
           convert_option_lines("report", "the page to write, -o for short (default: INPUT.html)");
}

LevelsFrom levels_from(const ConvertRequest& r, const FrontEndSummary& front_end) {
    return r.exact ? LevelsFrom::classic : front_end.channels > 0 ? LevelsFrom::front_end : LevelsFrom::pulses;
}

// What the report step needs besides the context.
struct PageJob {
    const ConvertRequest& request;
    std::string page_name;
    bool written = false;
};

// Writes the page of complete facts, and says so or why not.
void write_page(PageJob& job, Context& cx, const RecordingFacts& facts) {
    std::string error;
    job.written = write_report_page(job.page_name, facts, error);
    if (job.written)
        cx.console.print("Report page: %s\n", readable_name(job.page_name).c_str());
    else
        cx.console.warn("kvrtool: %s\n", error.c_str());
}

// The conversion's options for the page: its blocks gathered as they are reported, and the
// page written at the end from the recording's frames.
ConversionOptions page_options(PageJob& job, Context& cx, BlockCollector& collector, RecordingFacts& facts,
                               FrontEndSummary& front_end) {
    ConversionOptions options;
    options.recover = !job.request.exact;
    options.terminal = ::isatty(2) == 1;
    options.taps.observer = &collector;
    options.taps.says_creating = false;  // no image is written
    options.taps.front_end = &front_end;
    options.taps.finished = [&job, &cx, &collector, &facts, &front_end](const FrameSource& frames) {
        facts.blocks = std::move(collector.blocks());
        facts.kept = std::move(collector.kept());
        const bool ran = front_end.channels > 0;
        complete_recording_facts(facts, frames, cx.recording, cx.recording.sample_rate, cx.settings,
                                 levels_from(job.request, front_end), ran ? &front_end : nullptr);
        write_page(job, cx, facts);
    };
    return options;
}

// Several recordings of one tape: each converted with its blocks gathered and completed from
// its own frames, then the merged tape's blocks gathered as it is written, and one page of it.
int merged_page(PageJob& job, ConvertRequest& request, std::FILE* out, std::FILE* err) {
    auto cx = std::make_unique<Context>(out, err);
    cx->console.send_errors_apart();
    cx->image.open_memory();
    std::vector<RecordingFacts> recordings;
    BlockCollector each;
    FrontEndSummary front_end;
    ConversionOptions options;
    options.recover = true;
    options.terminal = ::isatty(2) == 1;
    options.taps.observer = &each;
    options.taps.says_creating = false;
    options.taps.front_end = &front_end;
    options.taps.finished = [&](const FrameSource& frames) {
        RecordingFacts facts;
        facts.input_name = cx->settings.input_name;
        facts.blocks = std::move(each.blocks());
        each = BlockCollector{};
        const bool ran = front_end.channels > 0;
        complete_recording_facts(facts, frames, cx->recording, cx->recording.sample_rate, cx->settings,
                                 levels_from(request, front_end), ran ? &front_end : nullptr);
        recordings.push_back(std::move(facts));
        front_end = FrontEndSummary{};
    };
    BlockCollector merged;
    request.output = "/dev/null";  // the image stays in memory and is dropped
    const int status = run_merge(*cx, request, options, &merged);
    cx->console.flush();
    if (merged.blocks().empty()) return status == 0 ? 1 : status;  // nothing merged: said why
    RecordingFacts facts = merged_facts(std::move(merged.blocks()), recordings);
    facts.input_name = request.inputs.front() + (request.inputs.size() > 1 ? " and the others merged" : " merged");
    write_page(job, *cx, facts);
    cx->console.flush();
    return job.written ? 0 : 1;
}

}  // namespace

std::string report_page_name(const std::string& input_name) {
    std::string name = derive_output_name(input_name, false);
    return name.substr(0, name.size() - 3) + "html";
}

int report_command(std::span<const std::string> args, std::FILE* out, std::FILE* err) {
    ConvertRequest request;
    std::string error;
    if (!parse_convert_arguments("report", args, request, error)) return usage_error(err, usage(), "report", error);
    if (request.help) {
        std::fputs(usage().c_str(), out);
        return 0;
    }
    const std::string input = request.inputs.front();
    PageJob job{request, request.output.empty() ? report_page_name(input) : request.output};
    if (named_as_sound_file(job.page_name)) {
        std::fprintf(err, "kvrtool: %s is a sound file's name; a page is never written under it\n", job.page_name.c_str());
        return 2;
    }
    for (const std::string& each : request.inputs)
        if (is_same_regular_file(each, job.page_name)) {
            std::fprintf(err, "kvrtool: the page %s would replace the recording\n", job.page_name.c_str());
            return 1;
        }
    const bool merges = request.inputs.size() > 1 || request.copies;
    if (merges && request.exact) {
        std::fprintf(err, "kvrtool: --exact reports one recording alone\n");
        return 2;
    }
    if (merges) return merged_page(job, request, out, err);
    request.output.clear();  // it named the page, not an image
    auto cx = std::make_unique<Context>(out, err);
    cx->console.send_errors_apart();
    // The image stays in memory and is dropped; only the page is written.
    cx->image.open_memory();
    BlockCollector collector;
    RecordingFacts facts;
    facts.input_name = input;
    FrontEndSummary front_end;
    const ConversionOptions options = page_options(job, *cx, collector, facts, front_end);
    const int status = run_conversion_request(*cx, request, input, "/dev/null", options);
    cx->console.flush();
    // A recording without blocks still has its page, and the envelope shows what it holds.
    static_cast<void>(status);  // a page written is success whatever the tape's verdict
    return job.written ? 0 : 1;
}

}  // namespace kvr
