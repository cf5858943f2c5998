#include "tool/commands.hpp"

#include <cctype>

#include "core/version.hpp"
#include "output/safe_output.hpp"
#include "input/image_file.hpp"
#include "playback/list.hpp"
#include "playback/render.hpp"
#include "tool/convert.hpp"
#include "tool/play_options.hpp"
#include "tool/report.hpp"

namespace kvr {

namespace {

const char kUsage[] =
    "Usage: kvrtool COMMAND [options]\n"
    "       kvrtool --help | --version\n"
    "\n"
    "Commands:\n"
    "  convert INPUT [-o OUT] a recording into a KVR image or TAP file, recovering damaged blocks\n"
    "  list IMAGE             one line per block of a KVR image or TAP file\n"
    "  play IMAGE -o OUT      render the image as a WAV, CSW, VOC or FLAC recording\n"
    "  report INPUT [-o OUT]  an HTML page of a recording and its blocks, analysed as convert does\n"
    "\n"
    "Run 'kvrtool COMMAND --help' for the options of a command.\n";

const char kListUsage[] =
    "Usage: kvrtool list IMAGE\n"
    "\n"
    "Prints every block of a KVR image (or of a TAP file, named *.tap) with its fields,\n"
    "the checksum state of data blocks and the time at which the block starts.\n";

std::string play_usage() {
    return "Usage: kvrtool play IMAGE -o OUT [options]\n"
           "\n"
           "Options:\n" +
           play_option_lines();
}

int usage_error(std::FILE* err, const std::string& usage, const std::string& message) {
    std::fprintf(err, "kvrtool: %s\n\n%s", message.c_str(), usage.c_str());
    return 2;
}

bool wants_help(std::span<const std::string> args) {
    for (const std::string& a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

// Opens an image; a file with the KVR signature is an image, else a *.tap name is a TAP file.
bool open_image(const std::string& name, FileImageSource& source, bool& tap, std::FILE* err) {
    if (!source.open(name)) {
        std::fprintf(err, "kvrtool: cannot open %s\n", name.c_str());
        return false;
    }
    tap = !looks_like_kvr(source.peek(8)) && ends_with_tap(name);
    return true;
}

bool report_fault(const TapeReader& reader, const std::string& name, std::FILE* err) {
    if (reader.failed()) std::fprintf(err, "kvrtool: %s: %s\n", name.c_str(), reader.error().c_str());
    return !reader.failed();
}

// The rendered bytes into the safely written output file.
class OutputSink : public ByteSink {
public:
    explicit OutputSink(OutputFile& file) : file_(file) {}
    void write(const void* p, std::size_t n) override { file_.write(p, n); }
    void patch(std::size_t offset, const void* p, std::size_t n) override { file_.patch(offset, p, n); }
    std::size_t size() const override { return static_cast<std::size_t>(file_.size()); }
    bool ok() const override { return file_.ok(); }

private:
    OutputFile& file_;
};

int list_command(std::span<const std::string> args, std::FILE* out, std::FILE* err) {
    if (wants_help(args)) {
        std::fputs(kListUsage, out);
        return 0;
    }
    if (args.size() != 1) return usage_error(err, kListUsage, "list takes one image");
    FileImageSource source;
    bool tap = false;
    if (!open_image(args[0], source, tap, err)) return 1;
    TapeReader reader(source, tap);
    TapeListing listing;
    TapeBlock block;
    std::fputs(TapeListing::heading().c_str(), out);
    while (reader.next(block)) std::fputs(listing.line(block).c_str(), out);
    if (!report_fault(reader, args[0], err)) return 1;
    std::fputs(listing.total().c_str(), out);
    return 0;
}

int play_command(std::span<const std::string> args, std::FILE* out, std::FILE* err) {
    if (wants_help(args)) {
        std::fputs(play_usage().c_str(), out);
        return 0;
    }
    PlayRequest request;
    std::string error;
    if (!parse_play_arguments(args, request, error)) return usage_error(err, play_usage(), error);
    FileImageSource source;
    bool tap = false;
    if (!open_image(request.image, source, tap, err)) return 1;
    if (is_same_file(request.output, source.fd())) {
        std::fprintf(err, "kvrtool: the output %s is the image itself\n", request.output.c_str());
        return 1;
    }
    // The whole image is read once before the output is opened: a broken one leaves no output.
    TapeBlock block;
    {
        TapeReader check(source, tap);
        while (check.next(block)) {}
        if (!report_fault(check, request.image, err)) return 1;
    }
    if (!source.rewind()) {
        std::fprintf(err, "kvrtool: cannot read %s\n", request.image.c_str());
        return 1;
    }
    OutputFile file;
    if (!file.open(request.output)) {
        std::fprintf(err, "kvrtool: cannot create %s: %s\n", request.output.c_str(), file.reason().c_str());
        return 1;
    }
    OutputSink sink(file);
    TapeRenderer renderer;
    TapeReader reader(source, tap);
    bool ok = renderer.start(request.options, sink, error);
    while (ok && reader.next(block)) renderer.play(block);
    ok = ok && report_fault(reader, request.image, err) && renderer.finish(error) && file.finish();
    if (!ok) {
        file.abandon();
        std::fprintf(err, "kvrtool: cannot write %s%s%s\n", request.output.c_str(), error.empty() ? "" : ": ",
                     error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

bool ends_with_tap(const std::string& name) {
    if (name.size() < 4) return false;
    std::string ext = name.substr(name.size() - 4);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".tap";
}

int run_kvrtool(std::span<const std::string> args, std::FILE* out, std::FILE* err) {
    if (args.empty()) return usage_error(err, kUsage, "no command given");
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, out);
        return 0;
    }
    if (command == "--version") {
        std::fprintf(out, "kvrtool %s\n%s\n", kVersion, kLicenseLine);
        return 0;
    }
    if (command == "convert") return convert_command(args.subspan(1), out, err);
    if (command == "list") return list_command(args.subspan(1), out, err);
    if (command == "play") return play_command(args.subspan(1), out, err);
    if (command == "report") return report_command(args.subspan(1), out, err);
    return usage_error(err, kUsage, "unknown command " + command);
}

}  // namespace kvr
