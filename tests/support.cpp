#include "support.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace kvr::test {

HpTape::HpTape(const std::vector<std::int32_t>& hps, std::int32_t rate)
    : recording(recording_of(samples_from_hps(hps), rate)), view(recording), cursor(view) {}

DecodedBlock decode_with(const char* name, HpTape& tape, const PilotResult& pilot, std::int32_t index,
                         std::int32_t last_block_end) {
    const LoaderDescriptor* loader = loader_named(name);
    EXPECT_NE(loader, nullptr) << name;
    std::unique_ptr<LoaderState> state = loader->make_state();
    DecodedBlock b = loader->decode(tape.cursor, tape.settings, pilot, {index, last_block_end, tape.buffer.data()}, *state);
    b.loader = loader;
    return b;
}

ByteVec lead_in_bytes(const DecodedBlock& block) {
    ByteVec out;
    for (const image::Piece& piece : block.lead_in) image::put_piece(out, piece);
    return out;
}

std::string report_lines(const DecodedBlock& block) {
    Console console;
    Report report(console);
    report.before(block);
    for (const SubBlock& s : block.subblocks) report.subblock(s);
    report.block(block);
    return console.text();
}

ImageBuilder::ImageBuilder() { image::put_header(bytes_); }

ImageBuilder& ImageBuilder::standard(const ByteVec& data, int pause_ms) {
    image::put_standard_data(bytes_, pause_ms, data);
    return *this;
}

ImageBuilder& ImageBuilder::turbo(int pilot, int sync1, int sync2, int bit0, int bit1, int pilots, int used_bits,
                                  int pause_ms, const ByteVec& data) {
    image::put_turbo_data(bytes_, {pilot, sync1, sync2, bit0, bit1, pilots, used_bits, pause_ms}, data);
    return *this;
}

ImageBuilder& ImageBuilder::tone(int pulse, int count) {
    image::put_pure_tone(bytes_, pulse, count);
    return *this;
}

ImageBuilder& ImageBuilder::pulses(const std::vector<int>& lengths) {
    std::vector<std::uint16_t> pulses;
    for (int v : lengths) pulses.push_back(image::field16(v));
    image::put_pulse_sequence(bytes_, pulses);
    return *this;
}

ImageBuilder& ImageBuilder::pure_data(int bit0, int bit1, int used_bits, int pause_ms, const ByteVec& data) {
    image::put_pure_data(bytes_, bit0, bit1, used_bits, pause_ms, data);
    return *this;
}

ImageBuilder& ImageBuilder::pause(int ms) {
    image::put_pause(bytes_, ms);
    return *this;
}

ImageBuilder& ImageBuilder::group_start(const std::string& name) {
    image::put_group_start(bytes_, name);
    return *this;
}

ImageBuilder& ImageBuilder::group_end() {
    image::put_group_end(bytes_);
    return *this;
}

ByteVec with_checksum(std::uint8_t flag, const ByteVec& payload) {
    // Sized once: growing a one-byte vector trips a false bounds warning of some compilers.
    ByteVec out(payload.size() + 2);
    out[0] = flag;
    std::copy(payload.begin(), payload.end(), out.begin() + 1);
    std::uint8_t x = 0;
    for (std::size_t i = 0; i + 1 < out.size(); ++i) x ^= out[i];
    out.back() = x;
    return out;
}

ByteVec rom_header(const std::string& name, std::uint8_t type, std::uint16_t length) {
    ByteVec payload{type};
    for (std::size_t i = 0; i < 10; ++i) payload.push_back(i < name.size() ? static_cast<std::uint8_t>(name[i]) : ' ');
    for (int v : {static_cast<int>(length), 0, static_cast<int>(length)}) {
        payload.push_back(static_cast<std::uint8_t>(v & 0xFF));
        payload.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    return with_checksum(0, payload);
}

ByteVec pattern_bytes(std::size_t n, unsigned seed) {
    ByteVec out(n);
    unsigned x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return out;
}

ByteVec render(const ByteVec& image, const RenderOptions& options) {
    TapeImage parsed;
    std::string error;
    EXPECT_TRUE(parse_tape_image(image, false, parsed, error)) << error;
    MemorySink sink;
    EXPECT_TRUE(render_tape_image(parsed, options, sink, error)) << error;
    return sink.bytes;
}

SampleVector samples_from_hps(const std::vector<std::int32_t>& hps) {
    SampleVector out;
    bool low = true;
    for (std::int32_t n : hps) {
        out.insert(out.end(), static_cast<std::size_t>(n), low ? std::int8_t{-100} : std::int8_t{100});
        low = !low;
    }
    return out;
}

Recording recording_of(const SampleVector& samples, std::int32_t rate) {
    Recording r;
    EdgeBuilder edges(r);
    EXPECT_TRUE(edges.samples(samples.data(), samples.size()));
    r.sample_rate = rate;
    return r;
}

SampleVector levels_of(const Recording& recording) {
    SampleVector out(static_cast<std::size_t>(recording.count));
    bool low = recording.first_low;
    std::size_t at = 0;
    for (std::size_t e = 0; e <= recording.edges.size(); ++e) {
        const auto end = e < recording.edges.size() ? static_cast<std::size_t>(recording.edges[e]) : out.size();
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(at), out.begin() + static_cast<std::ptrdiff_t>(end),
                  low ? std::int8_t{-128} : std::int8_t{127});
        at = end;
        low = !low;
    }
    return out;
}

LoadedFile load_with(Reader reader, const ByteVec& file, std::int64_t max_samples) {
    LoadedFile l;
    SampleCollector collect(l.samples);
    l.result = reader(file, l.info, collect, max_samples, nullptr);
    return l;
}

std::unique_ptr<Context> fresh_context() {
    auto cx = std::make_unique<Context>();
    cx->settings.output_name = "test.kvr";
    cx->image.open_memory();
    return cx;
}

namespace {
Conversion finish(Context& cx, bool loaded) {
    Conversion c;
    if (loaded) {
        const ConversionResult result = run_conversion(cx);
        c.ok = result.ok;
        c.blocks = result.blocks;
    }
    c.console = cx.console.text();
    c.warnings = cx.console.warnings();
    c.output = cx.image.memory();
    return c;
}
}  // namespace

Conversion convert(const ByteVec& recording, const Configure& configure) {
    auto cx = fresh_context();
    if (configure) configure(cx->settings);
    const bool loaded = load_sample_bytes(*cx, recording);
    return finish(*cx, loaded);
}

Conversion convert_samples(SampleVector samples, std::int32_t rate, const Configure& configure) {
    auto cx = fresh_context();
    if (configure) configure(cx->settings);
    cx->recording = recording_of(samples, rate);
    return finish(*cx, true);
}

std::string report_of(const std::string& console) {
    const std::string marker = "... \n\n";
    std::size_t at = console.find(marker);
    if (at == std::string::npos) {
        at = console.find("...\n\n");
        if (at != std::string::npos) return console.substr(at + 5);
        // A report that writes no image names none: its blocks follow the rate.
        at = console.find("\nRate: ");
        if (at == std::string::npos) return console;
        return console.substr(console.find('\n', at + 1) + 1);
    }
    return console.substr(at + marker.size());
}

TempDir::TempDir() {
    char pattern[] = "/tmp/kelvarin-test-XXXXXX";
    dir_ = ::mkdtemp(pattern);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void TempDir::write(const std::string& name, const ByteVec& bytes) const {
    std::ofstream out(path(name), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

ByteVec TempDir::read(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return ByteVec(std::istreambuf_iterator<char>(in), {});
}

int run_command(const std::string& command, std::string& output) {
    output.clear();
    std::FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return -1;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) output.append(buffer, n);
    const int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ToolRun kvrtool(const std::string& args) {
    ToolRun r;
    r.status = run_command(std::string(KVRTOOL_EXE) + " " + args + " 2>&1", r.out);
    return r;
}

namespace {
void become(int uid) {
    if (uid < 0) return;
    const auto id = static_cast<uid_t>(uid);
    if (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(id)) != 0 || ::setuid(id) != 0) ::_exit(126);
}
}  // namespace

Child::Child(const std::vector<std::string>& argv, Options options) {
    pid_ = ::fork();
    if (pid_ != 0) return;
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(options.stdout_fd >= 0 ? options.stdout_fd : null, 1);
    ::dup2(options.stderr_fd >= 0 ? options.stderr_fd : null, 2);
    become(options.as_user);
    // Signals that the test runner ignores or blocks are the program's own again.
    for (int s = 1; s < NSIG; ++s)
        if (s != SIGKILL && s != SIGSTOP) std::signal(s, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
}

Child::~Child() {
    if (pid_ > 0 && status_ < 0) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

int Child::wait(int limit_seconds) {
    if (status_ >= 0 || pid_ <= 0) return status_;
    struct rusage usage {};
    int status = 0;
    // A program that hangs fails its test instead of stopping the suite.
    for (int waited_ms = 0;; waited_ms += 5) {
        const pid_t done = ::wait4(pid_, &status, WNOHANG, &usage);
        if (done == pid_ || (done < 0 && errno != EINTR)) break;
        if (waited_ms == limit_seconds * 1000) ::kill(pid_, SIGKILL);
        ::usleep(5000);
    }
    status_ = status;
    peak_kib_ = usage.ru_maxrss;
    return status_;
}

int run_as_user(int uid, const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        become(uid);
        ::_exit(body());
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool running_as_root() { return ::geteuid() == 0; }


// Tapes of the custom loaders.

// Two ROM blocks, as a Speedlock tape starts.
ImageBuilder rom_pair(const std::string& name) {
    ImageBuilder b;
    b.standard(rom_header(name), 1000).standard(with_checksum(0xFF, pattern_bytes(40, 11)), 1000);
    return b;
}

std::vector<int> flag_pulses(const std::string& flags, int zero, int one) {
    std::vector<int> out;
    for (char f : flags) out.insert(out.end(), 2, f == '1' ? one : zero);
    return out;
}

// Reads the blocks of a converted image.
std::vector<TapeBlock> blocks_of(const ByteVec& image) {
    TapeImage parsed;
    std::string error;
    EXPECT_TRUE(parse_tape_image(image, false, parsed, error)) << error;
    return parsed.blocks;
}

// A Speedlock type 3 or 4 block: pilot, the 28 pulses, then the data.
void pilot_and_sync28(ImageBuilder& b, int bit0, int bit1, int pilots) {
    b.tone(2168, pilots);
    std::vector<int> sync{667, 735, 714, 714, 1428, 1428, 2144, 2144, 2144, 2144, 2144, 2144, 1428, 1428, 714, 714};
    const std::vector<int> f = flag_pulses("111010", bit0, bit1);
    sync.insert(sync.end(), f.begin(), f.end());
    b.pulses(sync);
}

void speedlock_leader(ImageBuilder& b, int segments) {
    for (int i = 0; i < segments; ++i) {
        b.tone(2168, 200);
        if (i + 1 < segments) b.pulses({715, 715});
    }
}

void speedlock1_head(ImageBuilder& b, const std::string& flags) {
    speedlock_leader(b);
    std::vector<int> sync{3150, 3150};
    const std::vector<int> f = flag_pulses(flags, 565, 1130);
    sync.insert(sync.end(), f.begin(), f.end());
    b.pulses(sync);
}

ByteVec speedlock2_tape(const TwoBlocks& t, std::size_t subblocks) {
    ImageBuilder b = rom_pair("GAME");
    b.standard(rom_header("MORE"), 1000).standard(with_checksum(0xFF, pattern_bytes(20, 15)), 1000);
    for (int block = 0; block < 2; ++block) {
        speedlock_leader(b);
        // The leader ends at a long HP; 13 more HPs are skipped before the data.
        b.pulses(std::vector<int>(14, 3150));
        if (block == 0) {
            b.pure_data(565, 1130, 8, 1000, t.block1);
            continue;
        }
        for (std::size_t i = 0; i < subblocks; ++i) {
            const bool last = i + 1 == subblocks;
            b.pure_data(565, 1130, 8, last ? 1000 : 0, t.subblocks[i]);
            if (!last) b.pulses(trailer());
        }
    }
    return b.bytes();
}

std::vector<int> trailer() {
    std::vector<int> t(42, 875);
    std::fill(t.begin() + 10, t.begin() + 32, 1750);
    return t;
}


// Four ROM blocks, then blocks 1 and 2 of a Speedlock type 3 or 4 tape.
ByteVec speedlock34_tape(int type, const TwoBlocks& t, int noise_ms) {
    const int bit0 = type == 3 ? 551 : 753, bit1 = 2 * bit0;
    ImageBuilder b = rom_pair("GAME");
    b.standard(rom_header("MORE"), 1000).standard(with_checksum(0xFF, pattern_bytes(20, 15)), noise_ms > 0 ? noise_ms : 1000);
    pilot_and_sync28(b, bit0, bit1, 3000);
    b.pure_data(bit0, bit1, 8, 1000, t.block1);
    pilot_and_sync28(b, bit0, bit1, 3000);
    for (std::size_t i = 0; i < t.subblocks.size(); ++i) {
        const bool last = i + 1 == t.subblocks.size();
        b.pure_data(bit0, bit1, 8, last ? 1000 : 0, t.subblocks[i]);
        if (!last) b.pulses(trailer());
    }
    return b.bytes();
}

// Sub-blocks whose bytes all together have an exclusive-or of zero.
TwoBlocks sample_blocks() {
    TwoBlocks t;
    t.block1 = with_checksum(0x77, pattern_bytes(64, 16));
    t.subblocks = {pattern_bytes(256, 17), pattern_bytes(100, 18), pattern_bytes(30, 19)};
    std::uint8_t x = 0;
    for (const ByteVec& s : t.subblocks)
        for (std::uint8_t v : s) x ^= v;
    t.subblocks.back().push_back(x);
    return t;
}

std::vector<float> rough_signal(std::mt19937& rng, std::size_t n, bool with_nan) {
    std::vector<float> z(n);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::uniform_int_distribution<int> kind(0, 99), run(1, 20);
    for (std::size_t i = 0; i < n;) {
        const int k = kind(rng);
        float v = value(rng);
        if (k < 15) v = 0.0f;
        else if (k < 18) v = -0.0f;
        else if (k < 20 && with_nan) v = std::numeric_limits<float>::quiet_NaN();
        else if (k < 21 && with_nan) v = -std::numeric_limits<float>::infinity();
        for (int r = run(rng); r > 0 && i < n; --r) z[i++] = v * (0.9f + 0.2f * value(rng));
    }
    return z;
}

}  // namespace kvr::test
