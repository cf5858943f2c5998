#include "tool/commands.hpp"

#include <algorithm>
#include <cctype>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/version.hpp"
#include "output/safe_output.hpp"
#include "input/image_file.hpp"
#include "playback/list.hpp"
#include "playback/render.hpp"
#include "tool/convert.hpp"
#include "tool/play_options.hpp"
#include "tool/json_list.hpp"
#include "tool/report.hpp"
#include "tool/usage.hpp"

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
    "Usage: kvrtool list IMAGE [--json]\n"
    "\n"
    "Prints every block of a KVR image (or of a TAP file, named *.tap) with its fields,\n"
    "the checksum state of data blocks, the name of header blocks and the time at which\n"
    "the block starts.\n"
    "\n"
    "Options:\n"
    "  --json                the blocks and the total as JSON\n"
    "  --help                this text, -h for short\n";

std::string play_usage() {
    return "Usage: kvrtool play IMAGE -o OUT [options]\n"
           "\n"
           "Options:\n" +
           play_option_lines();
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

// Where play writes: a file by its name, or the standard output ("-"); whether that is a
// terminal, and whether it takes only a stream (a pipe, or a file written at its end).
struct Destination {
    int fd = -1;  // the standard output's descriptor, for "-"
    bool terminal = false;
    bool stream_only = false;
};

Destination destination_of(const std::string& name, std::FILE* out) {
    Destination d;
    struct stat st {};
    if (name == "-") {
        d.fd = ::fileno(out);
        if (d.fd < 0 || ::fstat(d.fd, &st) != 0) return d;
        d.terminal = ::isatty(d.fd) == 1;
        // A file is written at its start again only when the writing starts there.
        const int flags = ::fcntl(d.fd, F_GETFL);
        const bool from_start = ::lseek(d.fd, 0, SEEK_CUR) == 0 && flags >= 0 && (flags & O_APPEND) == 0;
        d.stream_only = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || (S_ISREG(st.st_mode) && !from_start);
    } else if (::stat(name.c_str(), &st) == 0) {
        d.stream_only = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
    }
    return d;
}

bool same_file(int a, int b) {
    struct stat sa {}, sb {};
    return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
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

// The listing, as text or as JSON, block by block.
template <class Listing>
bool list_blocks(TapeReader& reader, Listing& listing, std::string opening, std::FILE* out) {
    TapeBlock block;
    std::fputs(opening.c_str(), out);
    while (reader.next(block)) std::fputs(listing.line(block).c_str(), out);
    if (reader.failed()) return false;
    std::fputs(listing.total().c_str(), out);
    return true;
}

int list_command(std::span<const std::string> args, std::FILE* out, std::FILE* err) {
    if (wants_help(args)) {
        std::fputs(kListUsage, out);
        return 0;
    }
    bool json = false;
    std::vector<std::string> images;
    for (const std::string& a : args) {
        if (a == "--json") {
            json = true;
        } else if (a.size() > 1 && a[0] == '-') {
            const std::string names[] = {"--json", "--help"};
            return usage_error(err, kListUsage, "list", "unknown option " + a + did_you_mean(a, names));
        } else {
            images.push_back(a);
        }
    }
    if (images.size() != 1) return usage_error(err, kListUsage, "list", "list takes one image");
    FileImageSource source;
    bool tap = false;
    if (!open_image(images[0], source, tap, err)) return 1;
    TapeReader reader(source, tap);
    bool listed = false;
    if (json) {
        JsonListing listing;
        listed = list_blocks(reader, listing, JsonListing::heading(images[0], tap), out);
    } else {
        TapeListing listing;
        listed = list_blocks(reader, listing, TapeListing::heading(), out);
    }
    // A JSON listing cut short by a broken image is left unclosed: no reader takes it whole.
    if (!listed) std::fflush(out);
    return report_fault(reader, images[0], err) ? 0 : 1;
}

int play_command(std::span<const std::string> args, std::FILE* out, std::FILE* err) {
    if (wants_help(args)) {
        std::fputs(play_usage().c_str(), out);
        return 0;
    }
    PlayRequest request;
    std::string error;
    if (!parse_play_arguments(args, request, error)) return usage_error(err, play_usage(), "play", error);
    const Destination to = destination_of(request.output, out);
    if (to.terminal) return usage_error(err, play_usage(), "play", error_text(Error::recording_to_terminal));
    FileImageSource source;
    bool tap = false;
    if (!open_image(request.image, source, tap, err)) return 1;
    if (to.fd >= 0 ? same_file(to.fd, source.fd()) : is_same_file(request.output, source.fd())) {
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
    if (!(to.fd >= 0 ? file.open_descriptor(to.fd) : file.open(request.output))) {
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
        // A recording short enough is held whole and goes into a pipe; a longer one cannot
        // have its header completed there.
        if (error.empty() && to.stream_only && completes_header_at_end(request.options.format))
            error = error_text(Error::wav_into_pipe);
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

bool named_as_sound_file(const std::string& name) {
    static const char* const kSoundExtensions[] = {"wav", "wave", "bwf", "rf64", "w64", "flac", "csw", "voc", "aif",
                                                   "aiff", "aifc", "caf", "au", "snd", "ogg", "oga", "opus", "mp3",
                                                   "mp2", "wv"};
    const std::size_t slash = name.rfind('/');
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    std::string extension = name.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::any_of(std::begin(kSoundExtensions), std::end(kSoundExtensions),
                       [&](const char* e) { return extension == e; });
}

int run_kvrtool(std::span<const std::string> args, std::FILE* out, std::FILE* err) {
    if (args.empty()) return usage_error(err, kUsage, "", "no command given");
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
    const std::string commands[] = {"convert", "list", "play", "report"};
    return usage_error(err, kUsage, "", "unknown command " + command + did_you_mean(command, commands));
}

}  // namespace kvr
