// Measures the targets of the converter against baselines taken in the same run.
//
//   kelvarin_bench make-rom DIR        one-hour ROM-speed recordings (16-bit stereo and mono WAV)
//   kelvarin_bench make-speedlock DIR  a one-hour Speedlock type 3 recording (16-bit mono WAV)
//   kelvarin_bench load WAV            loading against one large read, and peak memory
//   kelvarin_bench render              rendering an hour of image to a 16-bit WAV
//   kelvarin_bench analysis WAV        conversion against a bare pass over the level changes
//   kelvarin_bench write WAV           conversion writing an image file against one writing nothing
//   kelvarin_bench compare A.wav B.wav [switches of B]  conversion times of two recordings
//   kelvarin_bench make-csw2 DIR       the one-hour ROM-speed recording as CSW version 2
//   kelvarin_bench sound-file FILE     loading against the sound library's decoding alone
//   kelvarin_bench csw2 FILE           loading a CSW version 2 against inflating it alone
//   kelvarin_bench make-small-blocks DIR  a 10 MB image of one-byte blocks
//   kelvarin_bench list KVRTOOL IMAGE  `kvrtool list` of an image: time and peak memory
//   kelvarin_bench front-end WAV       the signal front end alone, the file already in memory
//   kelvarin_bench demod WAV           the demodulator alone: the blocks it finds, and its time
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <zlib.h>

#include "bench_data.hpp"
#include "conversion/context.hpp"
#include "demod/demodulator.hpp"
#include "frontend/front_end.hpp"
#include "frontend/mixed_signal.hpp"
#include "input/file_bytes.hpp"
#include "input/sound_file.hpp"
#include "loaders/speedlock_common.hpp"
#include "playback/list.hpp"
#include "playback/render.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

double seconds(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The best of a few runs, so that one disturbed run does not decide.
double best_of(int runs, const std::function<void()>& work) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) best = std::min(best, seconds(work));
    return best;
}

// Runs the work in a child process and returns its peak resident memory in bytes.
long peak_rss_of(const std::function<void()>& work) {
    const pid_t pid = fork();
    if (pid == 0) {
        work();
        _exit(0);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    return usage.ru_maxrss * 1024L;
}

void put_word(Bytes& b, int v) {
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

using bench::with_checksum;

void standard_block(Bytes& image, const Bytes& data, int pause) {
    image.push_back(0x10);
    put_word(image, pause);
    put_word(image, static_cast<int>(data.size()));
    image.insert(image.end(), data.begin(), data.end());
}

Bytes image_header() { return {'V', 'o', 'r', 'n', 'a', 'k', '!', 0x1A, 1, 10}; }

// Header and data pairs of ROM-speed blocks, about an hour long.
Bytes rom_hour() {
    Bytes image = image_header();
    double t = 0.0;
    for (unsigned i = 0; t < 3600.0 * 3500000; ++i) {
        Bytes header{0x00, 0x03};
        for (char c : std::string("BENCH     ")) header.push_back(static_cast<std::uint8_t>(c));
        for (int v : {6912, 16384, 32768}) put_word(header, v);
        std::uint8_t x = 0;
        for (std::uint8_t v : header) x ^= v;
        header.push_back(x);
        Bytes pair = image_header();
        standard_block(pair, header, 1000);
        standard_block(pair, with_checksum(0xFF, 6912, i + 1), 2000);
        kvr::TapeImage parsed;
        std::string error;
        kvr::parse_tape_image(pair, false, parsed, error);
        for (const auto& b : parsed.blocks) t += kvr::block_tstates(b);
        image.insert(image.end(), pair.begin() + 10, pair.end());
    }
    return image;
}

void pulses(Bytes& image, const std::vector<int>& lengths) {
    image.push_back(0x13);
    image.push_back(static_cast<std::uint8_t>(lengths.size()));
    for (int v : lengths) put_word(image, v);
}

void pure_data(Bytes& image, const Bytes& data, int pause) {
    image.push_back(0x14);
    put_word(image, 551);
    put_word(image, 1102);
    image.push_back(8);
    put_word(image, pause);
    put_word(image, static_cast<int>(data.size() & 0xFFFF));
    image.push_back(static_cast<std::uint8_t>(data.size() >> 16));
    image.insert(image.end(), data.begin(), data.end());
}

void pilot_and_sync28(Bytes& image) {
    image.push_back(0x12);
    put_word(image, 2168);
    put_word(image, 3000);
    pulses(image, {667, 735, 714, 714, 1428, 1428, 2144, 2144, 2144, 2144, 2144, 2144, 1428, 1428,
                   714, 714, 1102, 1102, 1102, 1102, 1102, 1102, 551, 551, 1102, 1102, 551, 551});
}

// Four ROM blocks, then a Speedlock type 3 block 1 and a block 2 of sub-blocks for an hour.
Bytes speedlock_hour() {
    Bytes image = image_header();
    for (int i = 0; i < 2; ++i) {
        standard_block(image, with_checksum(0x00, 17, 7), 1000);
        standard_block(image, with_checksum(0xFF, 100, 8), 1000);
    }
    pilot_and_sync28(image);
    pure_data(image, with_checksum(0x77, 1000, 9), 1000);
    pilot_and_sync28(image);
    std::vector<int> trailer(42, 875);
    std::fill(trailer.begin() + 10, trailer.begin() + 32, 1750);
    const int subblocks = 920;  // about an hour at 551 and 1102 T-states
    for (int i = 0; i < subblocks; ++i) {
        Bytes data = with_checksum(0x10, 1022, 100 + static_cast<unsigned>(i));
        const bool last = i + 1 == subblocks;
        pure_data(image, data, last ? 1000 : 0);
        if (!last) pulses(image, trailer);
    }
    return image;
}

bool render_to(const Bytes& image, const std::string& path, kvr::SampleFormat format) {
    kvr::TapeImage parsed;
    std::string error;
    if (!kvr::parse_tape_image(image, false, parsed, error)) return false;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    std::vector<char> buffer(1 << 20);
    std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
    kvr::FileSink sink(f);
    kvr::RenderOptions options;
    options.format = format;
    options.noise = 0.02;
    const bool ok = kvr::render_tape_image(parsed, options, sink, error);
    return std::fclose(f) == 0 && ok;
}

std::unique_ptr<kvr::Context> loaded(const std::string& wav) {
    auto cx = std::make_unique<kvr::Context>();
    cx->settings.input_name = wav;
    cx->settings.output_name = "/dev/null";
    if (!kvr::load_sample_file(*cx)) std::exit(1);
    cx->console.clear();
    return cx;
}

// A conversion of an already loaded buffer, with a fresh analysis state each time.
double convert_once(const kvr::Context& source, bool to_file, const std::function<void(kvr::Settings&)>& configure = {}) {
    auto cx = std::make_unique<kvr::Context>();
    cx->recording = source.recording;
    cx->settings.output_name = "/tmp/kelvarin-bench-out.kvr";
    if (configure) configure(cx->settings);
    if (!to_file) cx->image.open_memory();
    return seconds([&] { kvr::run_conversion(*cx); });
}

int load_bench(const std::string& wav) {
    const double read_time = best_of(3, [&] {
        int fd = open(wav.c_str(), O_RDONLY);
        off_t size = lseek(fd, 0, SEEK_END);
        std::unique_ptr<char[]> buffer(new char[static_cast<std::size_t>(size)]);
        std::size_t done = 0;
        while (done < static_cast<std::size_t>(size)) {
            ssize_t n = pread(fd, buffer.get() + done, static_cast<std::size_t>(size) - done, static_cast<off_t>(done));
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        close(fd);
    });
    std::int64_t edges = 0;
    const double load_time = best_of(3, [&] { edges = static_cast<std::int64_t>(loaded(wav)->recording.edges.size()); });
    const long rss = peak_rss_of([&] { loaded(wav); });
    std::printf("load: one large read %.3f s, load as edges %.3f s (%.2fx)\n", read_time, load_time,
                load_time / read_time);
    std::printf("load: peak memory %.1f MiB for %lld edges (target at most 64 MiB + 8 bytes per edge = %.1f MiB)\n",
                rss / 1048576.0, static_cast<long long>(edges), 64 + 8.0 * static_cast<double>(edges) / 1048576.0);
    return 0;
}

// A WAV file read into memory and its sound data found; false with a message otherwise.
bool wav_in_memory(const std::string& wav, const char* what, Bytes& file, kvr::SampleInfo& info, kvr::PcmRun& run) {
    if (FILE* f = std::fopen(wav.c_str(), "rb")) {
        std::uint8_t room[1 << 16];
        for (std::size_t n; (n = std::fread(room, 1, sizeof room, f)) > 0;) file.insert(file.end(), room, room + n);
        std::fclose(f);
    }
    if (kvr::parse_wav(kvr::Bytes(file.data(), file.size()), info, run) == kvr::LOAD_OK) return true;
    std::fprintf(stderr, "%s: %s is not a WAV file\n", what, wav.c_str());
    return false;
}

// The front end's own work: the file is read into memory first, so no reading is timed.
int front_end_bench(const std::string& wav) {
    Bytes file;
    kvr::SampleInfo info;
    kvr::PcmRun run;
    if (!wav_in_memory(wav, "front-end", file, info, run)) return 1;
    const kvr::PcmFrameSource source(kvr::Bytes(file.data(), file.size()), run);
    std::size_t edges = 0;
    const double t = best_of(5, [&] { edges = kvr::condition_signal(source, info.rate, {}).edges.size(); });
    std::printf("front end: %.3f s for %llu frames (%zu edges), %.2f ns per frame\n", t,
                static_cast<unsigned long long>(run.frames), edges, t * 1e9 / static_cast<double>(run.frames));
    return 0;
}

// The demodulator alone on a WAV file: each block it finds, with its bytes' check, and the time.
int demod_bench(const std::string& wav) {
    Bytes file;
    kvr::SampleInfo info;
    kvr::PcmRun run;
    if (!wav_in_memory(wav, "demod", file, info, run)) return 1;
    const kvr::PcmFrameSource source(kvr::Bytes(file.data(), file.size()), run);
    kvr::demod::Demodulation d;
    const double t = seconds([&] {
        const std::vector<float> x = kvr::mixed_signal(source, 0, run.frames);
        d = kvr::demod::demodulate(x, info.rate);
    });
    for (const auto& b : d.blocks) {
        const auto& bits = b.data.bits;
        std::vector<std::uint8_t> bytes(bits.size() / 8);
        std::uint8_t x = 0;
        float weakest = 1e30f;
        for (std::size_t i = 0; i < bytes.size() * 8; ++i) {
            bytes[i / 8] = static_cast<std::uint8_t>(bytes[i / 8] * 2 + bits[i].value);
            weakest = std::min(weakest, std::fabs(bits[i].confidence));
        }
        for (std::uint8_t v : bytes) x ^= v;
        std::printf("tone at %.3f s, HP %.1f T x %zu; data at %.3f s, 0 bit %.1f T, %zu bits (%zu bytes, flag %02X) %s, "
                    "weakest %.1f\n",
                    b.tone.first_edge / info.rate, b.tone.period / info.rate * 3.5e6, b.tone.hps, b.data.start / info.rate,
                    b.data.short_hp / info.rate * 3.5e6, bits.size(), bytes.size(), bytes.empty() ? 0 : bytes[0],
                    x == 0 ? "good" : "BAD", weakest);
    }
    std::printf("demod: %.3f s for %llu frames\n", t, static_cast<unsigned long long>(run.frames));
    return 0;
}

int render_bench() {
    const Bytes image = rom_hour();
    const double t = seconds([&] { render_to(image, "/tmp/kelvarin-bench-render.wav", kvr::SampleFormat::wav16); });
    std::remove("/tmp/kelvarin-bench-render.wav");
    std::printf("render: one hour of image to a 44.1 kHz 16-bit WAV in %.2f s, %.0fx real time (target at least 50x)\n",
                t, 3600.0 / t);
    return 0;
}

int analysis_bench(const std::string& wav) {
    auto cx = loaded(wav);
    const std::size_t changes = cx->recording.edges.size();
    double analysis = 1e300;
    for (int i = 0; i < 3; ++i) analysis = std::min(analysis, convert_once(*cx, false));
    const double hours = cx->recording.count / static_cast<double>(cx->recording.sample_rate) / 3600.0;
    std::printf("analysis: %zu level changes converted in %.3f s, %.3f s per hour of recording\n", changes, analysis,
                analysis / hours);
    return 0;
}

int write_bench(const std::string& wav) {
    auto cx = loaded(wav);
    double to_memory = 1e300, to_file = 1e300;
    for (int i = 0; i < 5; ++i) {
        to_memory = std::min(to_memory, convert_once(*cx, false));
        to_file = std::min(to_file, convert_once(*cx, true));
    }
    std::remove("/tmp/kelvarin-bench-out.kvr");
    std::printf("write: conversion keeping the image in memory %.3f s, writing the image file %.3f s (+%.1f%%; target under 5%%)\n",
                to_memory, to_file, (to_file / to_memory - 1) * 100);
    return 0;
}

int compare_bench(const std::string& rom, const std::string& speedlock) {
    auto a = loaded(rom);
    auto b = loaded(speedlock);
    double ta = 1e300, tb = 1e300;
    for (int i = 0; i < 3; ++i) {
        ta = std::min(ta, convert_once(*a, true));
        tb = std::min(tb, convert_once(*b, true, [](kvr::Settings& s) {
            speedlock_settings(s).type = 3;
            s.min_pilot_hps = 1400;
        }));
    }
    std::remove("/tmp/kelvarin-bench-out.kvr");
    std::printf("speedlock: one hour of ROM blocks %.3f s, one hour of Speedlock type 3 %.3f s (%.2fx; target at most 2x)\n",
                ta, tb, tb / ta);
    return 0;
}

// The sample rate and length of a loaded file, and the time the load step took.
double load_time(const std::string& path, std::int64_t& samples) {
    return best_of(3, [&] { samples = loaded(path)->recording.count; });
}

int sound_file_bench(const std::string& path) {
    kvr::FileBytes file;
    if (!file.open(path)) return 1;
    std::int64_t frames = 0;
    const double decode = best_of(3, [&] {
        kvr::SoundFile sound;
        if (sound.open(file.bytes()) != kvr::SoundFile::Opened::ok) std::exit(1);
        std::vector<std::int32_t> piece(1 << 16);
        const std::size_t per_piece = piece.size() / static_cast<std::size_t>(sound.channels());
        frames = 0;
        while (const std::size_t n = sound.read(piece.data(), per_piece)) frames += static_cast<std::int64_t>(n);
    });
    std::int64_t samples = 0;
    const double load = load_time(path, samples);
    std::printf("sound file: the library decoding %lld frames alone %.3f s, loading into the sample buffer %.3f s (%.2fx)\n",
                static_cast<long long>(frames), decode, load, load / decode);
    return samples == frames ? 0 : 1;
}

int csw2_bench(const std::string& path) {
    kvr::FileBytes file;
    if (!file.open(path)) return 1;
    const kvr::Bytes bytes = file.bytes();
    if (bytes.size() < 52) return 1;
    const std::size_t start = 52 + bytes[35];
    std::uint64_t inflated = 0;
    const double inflate_time = best_of(3, [&] {
        z_stream z{};
        inflateInit(&z);
        std::vector<std::uint8_t> window(1 << 16);
        z.next_in = const_cast<Bytef*>(bytes.data() + start);
        z.avail_in = static_cast<uInt>(bytes.size() - start);
        inflated = 0;
        int ret = Z_OK;
        while (ret == Z_OK) {
            z.next_out = window.data();
            z.avail_out = static_cast<uInt>(window.size());
            ret = inflate(&z, Z_NO_FLUSH);
            inflated += window.size() - z.avail_out;
        }
        inflateEnd(&z);
    });
    std::int64_t samples = 0;
    const double load = load_time(path, samples);
    std::printf("csw2: inflating %.1f MB of pulses alone %.3f s, loading %lld samples %.3f s (%.2fx)\n",
                static_cast<double>(inflated) / 1e6, inflate_time, static_cast<long long>(samples), load,
                load / inflate_time);
    return 0;
}

// Ten megabytes of standard blocks of one byte each, written as they are made.
int make_small_blocks(const std::string& dir) {
    std::FILE* f = std::fopen((dir + "/one-byte-blocks.kvr").c_str(), "wb");
    if (f == nullptr) return 1;
    const std::uint8_t header[] = {'V', 'o', 'r', 'n', 'a', 'k', '!', 0x1A, 1, 10};
    std::fwrite(header, 1, sizeof header, f);
    const std::size_t blocks = (std::size_t{10} * 1024 * 1024 - sizeof header) / 6;
    for (std::size_t i = 0; i < blocks; ++i) {
        const std::uint8_t block[] = {0x10, 0, 0, 1, 0, static_cast<std::uint8_t>(i)};
        std::fwrite(block, 1, sizeof block, f);
    }
    return std::fclose(f) == 0 ? 0 : 1;
}

// The program started straight from this small process, so that its peak memory is its own.
int list_bench(const char* kvrtool, const char* image) {
    double best = 1e300;
    long peak = 0;
    for (int run = 0; run < 3; ++run) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        char* const args[] = {const_cast<char*>(kvrtool), const_cast<char*>("list"), const_cast<char*>(image), nullptr};
        pid_t pid = 0;
        const auto start = Clock::now();
        if (posix_spawn(&pid, kvrtool, &actions, nullptr, args, environ) != 0) return 1;
        int status = 0;
        struct rusage usage {};
        wait4(pid, &status, 0, &usage);
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
        peak = std::max(peak, usage.ru_maxrss);
        posix_spawn_file_actions_destroy(&actions);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    }
    std::printf("list: kvrtool list of a 10 MB image of one-byte blocks in %.2f s, peak %ld KiB (targets under 2 s, a few MB)\n",
                best, peak);
    return 0;
}

}  // namespace

// Files whose few bytes describe a great many samples or pairs: a CSW file of 6,451 blocks
// whose pairs never differ (groups of 60 HPs of 4 samples and a pair of 1 and 7), a CSW file
// of one pulse of 2^31 - 1 samples, and a VOC file whose repeat blocks play one 120-byte
// block 65535 x 250 times.
int make_few_bytes(const std::string& dir) {
    auto write = [&](const std::string& name, const std::vector<std::uint8_t>& bytes) {
        std::FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
        const bool ok = f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        return (f != nullptr && std::fclose(f) == 0) && ok;
    };
    std::vector<std::uint8_t> csw(32, 0);
    std::memcpy(csw.data(), "Compressed Square Wave\x1A", 23);
    csw[23] = csw[24] = csw[27] = 1;
    csw[25] = 0x44;  // 44100 Hz
    csw[26] = 0xAC;
    std::vector<std::uint8_t> pairs = csw;
    for (int g = 0; g < 800000 / 62; ++g) {
        pairs.insert(pairs.end(), 60, 4);
        pairs.push_back(1);
        pairs.push_back(7);
    }
    for (std::uint8_t b : {0x00, 0xFF, 0xFF, 0xFF, 0x7F}) csw.push_back(b);
    std::vector<std::uint8_t> voc(26, 0);
    std::memcpy(voc.data(), "Creative Voice File\x1A", 20);
    const std::uint16_t version = 0x010A, check = static_cast<std::uint16_t>(~version + 0x1234);
    for (auto [at, v] : {std::pair{20, std::uint16_t{26}}, std::pair{22, version}, std::pair{24, check}}) {
        voc[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(v);
        voc[static_cast<std::size_t>(at) + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    for (std::uint8_t b : {6, 2, 0, 0, 0xFF, 0xFF, 6, 2, 0, 0, 250, 0, 1, 122, 0, 0, 256 - 23, 0}) voc.push_back(b);
    voc.insert(voc.end(), 60, 0x40);
    voc.insert(voc.end(), 60, 0xC0);
    for (std::uint8_t b : {7, 0, 0, 0, 7, 0, 0, 0, 0}) voc.push_back(b);
    return write("equal-pairs.csw", pairs) && write("one-long-pulse.csw", csw) && write("repeats.voc", voc) ? 0 : 1;
}

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    const std::string arg = argc > 2 ? argv[2] : "";
    if (what == "make-rom") {
        const Bytes image = rom_hour();
        return render_to(image, arg + "/rom-hour-stereo.wav", kvr::SampleFormat::wav16s) &&
                       render_to(image, arg + "/rom-hour-mono.wav", kvr::SampleFormat::wav16)
                   ? 0
                   : 1;
    }
    if (what == "make-speedlock")
        return render_to(speedlock_hour(), arg + "/speedlock3-hour.wav", kvr::SampleFormat::wav16) ? 0 : 1;
    if (what == "load") return load_bench(arg);
    if (what == "render") return render_bench();
    if (what == "front-end") return front_end_bench(arg);
    if (what == "demod") return demod_bench(arg);
    if (what == "analysis") return analysis_bench(arg);
    if (what == "write") return write_bench(arg);
    if (what == "compare" && argc > 3) return compare_bench(arg, argv[3]);
    if (what == "make-csw2") return render_to(rom_hour(), arg + "/rom-hour.csw2", kvr::SampleFormat::csw2) ? 0 : 1;
    if (what == "sound-file") return sound_file_bench(arg);
    if (what == "csw2") return csw2_bench(arg);
    if (what == "make-small-blocks") return make_small_blocks(arg);
    if (what == "make-few-bytes") return make_few_bytes(arg);
    if (what == "list" && argc > 3) return list_bench(argv[2], argv[3]);
    std::fprintf(stderr, "usage: kelvarin_bench make-rom|make-speedlock|make-csw2|make-small-blocks|make-few-bytes DIR | "
                         "load|analysis|write WAV | render | compare ROM.wav SPEEDLOCK.wav | sound-file FILE | csw2 FILE | "
                         "list KVRTOOL IMAGE\n");
    return 2;
}
