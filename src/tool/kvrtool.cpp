// kvrtool: lists KVR images and TAP files, and plays them back as recordings.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "input/file_bytes.hpp"
#include "playback/render.hpp"

namespace {

const char kUsage[] =
    "Usage: kvrtool COMMAND [options]\n"
    "\n"
    "Commands:\n"
    "  list IMAGE             one line per block of a KVR image or TAP file\n"
    "  play IMAGE -o OUT      render the image as a WAV, CSW, VOC or FLAC recording\n"
    "\n"
    "Run 'kvrtool COMMAND --help' for the options of a command.\n";

const char kListUsage[] =
    "Usage: kvrtool list IMAGE\n"
    "\n"
    "Prints every block of a KVR image (or of a TAP file, named *.tap) with its fields,\n"
    "the checksum state of data blocks and the time at which the block starts.\n";

const char kPlayUsage[] =
    "Usage: kvrtool play IMAGE -o OUT [options]\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE    the recording to write (required)\n"
    "  --rate HZ            sample rate (default 44100)\n"
    "  --format NAME        wav8 wav16 wav8s wav16s wav24 wavf32 csw csw2 voc8 voc16 flac\n"
    "                       (default wav16; csw is version 1, csw2 version 2 packed with zlib)\n"
    "  --amplitude A        square-wave amplitude, full scale 1 (default 0.5)\n"
    "  --dc-offset D        added to every sample (default 0)\n"
    "  --noise N            peak of additive noise, full scale 1 (default 0)\n"
    "  --jitter PCT         scale each pulse by a random factor within PCT percent (default 0)\n"
    "  --lowpass HZ         round the edges with a one-pole low-pass at HZ (default off)\n"
    "  --seed N             seed of the noise and jitter (default 1)\n";

int usage_error(const char* usage, const std::string& message) {
    std::fprintf(stderr, "kvrtool: %s\n\n%s", message.c_str(), usage);
    return 2;
}

bool wants_help(int argc, char** argv) {
    for (int i = 2; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
    return false;
}

bool ends_with_tap(const std::string& name) {
    if (name.size() < 4) return false;
    std::string ext = name.substr(name.size() - 4);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".tap";
}

// Loads an image; a file with the KVR signature is an image, else a *.tap name is a TAP file.
bool load_image(const std::string& name, kvr::TapeImage& image) {
    kvr::FileBytes file;
    if (!file.open(name)) {
        std::fprintf(stderr, "kvrtool: cannot open %s\n", name.c_str());
        return false;
    }
    const bool tap = !kvr::looks_like_kvr(file.bytes()) && ends_with_tap(name);
    std::string error;
    if (!kvr::parse_tape_image(file.bytes(), tap, image, error)) {
        std::fprintf(stderr, "kvrtool: %s: %s\n", name.c_str(), error.c_str());
        return false;
    }
    return true;
}

int list_command(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        std::fputs(kListUsage, stdout);
        return 0;
    }
    if (argc != 3) return usage_error(kListUsage, "list takes one image");
    kvr::TapeImage image;
    if (!load_image(argv[2], image)) return 1;
    std::fputs(kvr::list_tape_image(image).c_str(), stdout);
    return 0;
}

bool number(const char* text, double& out) {
    char* end = nullptr;
    out = std::strtod(text, &end);
    return end != text && *end == '\0';
}

int play_command(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        std::fputs(kPlayUsage, stdout);
        return 0;
    }
    kvr::RenderOptions options;
    std::string input, output;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.size() > 1 && arg[0] == '-') {
            if (i + 1 >= argc) return usage_error(kPlayUsage, arg + " needs a value");
            const char* value = argv[++i];
            double v = 0;
            if (arg == "-o" || arg == "--output") {
                output = value;
            } else if (arg == "--format") {
                if (!kvr::parse_sample_format(value, options.format))
                    return usage_error(kPlayUsage, std::string("unknown format ") + value);
            } else if (!number(value, v)) {
                return usage_error(kPlayUsage, arg + " needs a number, not " + value);
            } else if (arg == "--rate") {
                if (v < 1 || v > 1e7) return usage_error(kPlayUsage, "--rate must be 1 to 10000000");
                options.rate = static_cast<std::uint32_t>(v);
            } else if (arg == "--amplitude") options.amplitude = v;
            else if (arg == "--dc-offset") options.dc_offset = v;
            else if (arg == "--noise") options.noise = v;
            else if (arg == "--jitter") options.jitter_pct = v;
            else if (arg == "--lowpass") options.lowpass_hz = v;
            else if (arg == "--seed") options.seed = static_cast<std::uint64_t>(v);
            else return usage_error(kPlayUsage, "unknown option " + arg);
        } else if (input.empty()) {
            input = arg;
        } else {
            return usage_error(kPlayUsage, "play takes one image");
        }
    }
    if (input.empty()) return usage_error(kPlayUsage, "no image given");
    if (output.empty()) return usage_error(kPlayUsage, "no output given (-o OUT)");
    kvr::TapeImage image;
    if (!load_image(input, image)) return 1;
    std::FILE* f = std::fopen(output.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "kvrtool: cannot create %s\n", output.c_str());
        return 1;
    }
    kvr::FileSink sink(f);
    std::string error;
    const bool ok = kvr::render_tape_image(image, options, sink, error);
    if (std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "kvrtool: cannot write %s%s%s\n", output.c_str(), error.empty() ? "" : ": ", error.c_str());
        std::remove(output.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage_error(kUsage, "no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "list") return list_command(argc, argv);
    if (command == "play") return play_command(argc, argv);
    return usage_error(kUsage, "unknown command " + command);
}
