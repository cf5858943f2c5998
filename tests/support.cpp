#include "support.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace kvr::test {

ImageBuilder::ImageBuilder() : bytes_{'V', 'o', 'r', 'n', 'a', 'k', '!', 0x1A, 1, 10} {}

void ImageBuilder::word(int v) {
    bytes_.push_back(static_cast<std::uint8_t>(v & 0xFF));
    bytes_.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

void ImageBuilder::bits_pause_and_data(int used_bits, int pause_ms, const ByteVec& data) {
    bytes_.push_back(static_cast<std::uint8_t>(used_bits));
    word(pause_ms);
    word(static_cast<int>(data.size() & 0xFFFF));
    bytes_.push_back(static_cast<std::uint8_t>(data.size() >> 16));
    bytes_.insert(bytes_.end(), data.begin(), data.end());
}

ImageBuilder& ImageBuilder::standard(const ByteVec& data, int pause_ms) {
    bytes_.push_back(0x10);
    word(pause_ms);
    word(static_cast<int>(data.size()));
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    return *this;
}

ImageBuilder& ImageBuilder::turbo(int pilot, int sync1, int sync2, int bit0, int bit1, int pilots, int used_bits,
                                  int pause_ms, const ByteVec& data) {
    bytes_.push_back(0x11);
    for (int v : {pilot, sync1, sync2, bit0, bit1, pilots}) word(v);
    bits_pause_and_data(used_bits, pause_ms, data);
    return *this;
}

ImageBuilder& ImageBuilder::tone(int pulse, int count) {
    bytes_.push_back(0x12);
    word(pulse);
    word(count);
    return *this;
}

ImageBuilder& ImageBuilder::pulses(const std::vector<int>& lengths) {
    bytes_.push_back(0x13);
    bytes_.push_back(static_cast<std::uint8_t>(lengths.size()));
    for (int v : lengths) word(v);
    return *this;
}

ImageBuilder& ImageBuilder::pure_data(int bit0, int bit1, int used_bits, int pause_ms, const ByteVec& data) {
    bytes_.push_back(0x14);
    word(bit0);
    word(bit1);
    bits_pause_and_data(used_bits, pause_ms, data);
    return *this;
}

ImageBuilder& ImageBuilder::pause(int ms) {
    bytes_.push_back(0x20);
    word(ms);
    return *this;
}

ImageBuilder& ImageBuilder::group_start(const std::string& name) {
    bytes_.push_back(0x21);
    bytes_.push_back(static_cast<std::uint8_t>(name.size()));
    bytes_.insert(bytes_.end(), name.begin(), name.end());
    return *this;
}

ImageBuilder& ImageBuilder::group_end() {
    bytes_.push_back(0x22);
    return *this;
}

ByteVec with_checksum(std::uint8_t flag, const ByteVec& payload) {
    ByteVec out{flag};
    out.insert(out.end(), payload.begin(), payload.end());
    std::uint8_t x = 0;
    for (std::uint8_t b : out) x ^= b;
    out.push_back(x);
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

std::unique_ptr<Context> fresh_context() {
    auto cx = std::make_unique<Context>();
    cx->settings.output_name = "test.kvr";
    cx->image.open_memory();
    return cx;
}

namespace {
Conversion finish(Context& cx, bool loaded) {
    Conversion c;
    c.ok = loaded && run_conversion(cx);
    c.console = cx.console.text();
    c.warnings = cx.console.warnings();
    c.output = cx.image.memory();
    c.blocks = cx.work.block_count;
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
    cx->samples.sample_data = std::move(samples);
    cx->samples.sample_rate = rate;
    return finish(*cx, true);
}

std::string report_of(const std::string& console) {
    const std::string marker = "... \n\n";
    std::size_t at = console.find(marker);
    if (at == std::string::npos) {
        at = console.find("...\n\n");
        return at == std::string::npos ? console : console.substr(at + 5);
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
    // Signals that the test runner ignores are the program's own again.
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) std::signal(s, SIG_DFL);
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

}  // namespace kvr::test
