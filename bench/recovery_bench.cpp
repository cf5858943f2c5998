// Recovery from damaged recordings: tapes of known bytes are rendered with each kind of damage
// a cassette and a capture suffer, then converted the classic way and through the front end.
// A block counts as recovered when a TAP record holds exactly its bytes.
//
//   recovery_bench [KIND LEVEL ...]   every kind at its calibrated level, or the ones given
//   recovery_bench sweep KIND         the classic and front-end counts over a range of levels
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_data.hpp"
#include "conversion/context.hpp"
#include "formats/kvr_image.hpp"
#include "recovery/recover.hpp"
#include "recovery/recovery_input.hpp"
#include "playback/render.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

void put_word(Bytes& b, int v) {
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

Bytes header_bytes(const char* name, std::size_t length) {
    Bytes p{0, 3};
    const std::size_t given = std::strlen(name);
    for (std::size_t i = 0; i < 10; ++i) p.push_back(static_cast<std::uint8_t>(i < given ? name[i] : ' '));
    put_word(p, static_cast<int>(length));
    put_word(p, 32768);
    put_word(p, 0);
    std::uint8_t c = 0;
    for (std::uint8_t v : p) c ^= v;
    p.push_back(c);
    return p;
}

struct Tape {
    Bytes image;
    std::vector<Bytes> blocks;

    Tape() { kvr::image::put_header(image); }
    void standard(const Bytes& data, int pause_ms) {
        kvr::image::put_standard_data(image, pause_ms, data);
        blocks.push_back(data);
    }
    void turbo(int pilot, int sync1, int sync2, int bit0, int bit1, int pilots, const Bytes& data, int pause_ms) {
        kvr::image::put_turbo_data(image, {pilot, sync1, sync2, bit0, bit1, pilots, 8, pause_ms}, data);
        blocks.push_back(data);
    }
};

// Two programs at ROM speed and two turbo blocks: 8 blocks, about 50 seconds.
Tape test_tape(unsigned seed) {
    Tape t;
    t.standard(header_bytes("FIRST", 400), 1000);
    t.standard(bench::with_checksum(0xFF, 400, seed), 1500);
    t.standard(header_bytes("SECOND", 1200), 1000);
    t.standard(bench::with_checksum(0xFF, 1200, seed + 1), 1500);
    t.turbo(1800, 600, 600, 600, 1200, 3000, bench::with_checksum(0xFF, 900, seed + 2), 1200);
    t.turbo(2168, 667, 735, 855, 1710, 1500, bench::with_checksum(0x42, 300, seed + 3), 1200);
    t.standard(header_bytes("THIRD", 200), 900);
    t.standard(bench::with_checksum(0xFF, 200, seed + 4), 1000);
    return t;
}

struct Damage {
    const char* name;
    double calibrated;  // the level at which the classic algorithm recovers about 60 %
    std::function<void(kvr::RenderOptions&, double)> apply;
};

const Damage kDamages[] = {
    {"wow-flutter", 8.0, [](kvr::RenderOptions& o, double l) { o.wow_pct = l, o.flutter_pct = l * 0.6, o.noise = 0.5; }},
    {"hum", 0.22, [](kvr::RenderOptions& o, double l) { o.hum = l; }},
    {"dropouts", 60, [](kvr::RenderOptions& o, double l) {
         o.dropouts_per_minute = l, o.dropout_ms = 10, o.dropout_depth = 0.05, o.hum = 0.03;
     }},
    {"dc-slewed", 0.42, [](kvr::RenderOptions& o, double l) { o.dc_offset = l, o.lowpass_hz = 3000, o.noise = 0.05; }},
    {"highpass", 950, [](kvr::RenderOptions& o, double l) { o.highpass_hz = l, o.noise = 0.03; }},
    {"lowpass", 1200, [](kvr::RenderOptions& o, double l) { o.lowpass_hz = l, o.dc_offset = 0.2, o.noise = 0.1; }},
    {"azimuth", 1500, [](kvr::RenderOptions& o, double l) { o.lowpass_hz = l, o.highpass_hz = 600, o.noise = 0.1; }},
    {"clipping", 0.45, [](kvr::RenderOptions& o, double l) { o.clip = 0.3, o.dc_offset = l, o.noise = 0.05; }},
    {"8bit", 0.012, [](kvr::RenderOptions& o, double l) {
         o.format = kvr::SampleFormat::wav8, o.amplitude = l, o.noise = 0.012;
     }},
    {"noise", 0.5, [](kvr::RenderOptions& o, double l) { o.noise = l; }},
    {"inverted-channel", 0.9, [](kvr::RenderOptions& o, double l) {
         o.format = kvr::SampleFormat::wav16s, o.gain_right = -l, o.noise = 0.1;
     }},
    {"dead-channel", 0.0, [](kvr::RenderOptions& o, double l) {
         o.format = kvr::SampleFormat::wav16s, o.gain_right = l, o.hum = 0.3;
     }},
};

Bytes render(const Bytes& image, const kvr::RenderOptions& options) {
    kvr::TapeImage parsed;
    std::string error;
    if (!kvr::parse_tape_image(image, false, parsed, error)) std::exit(1);
    kvr::MemorySink sink;
    if (!kvr::render_tape_image(parsed, options, sink, error)) {
        std::fprintf(stderr, "render: %s\n", error.c_str());
        std::exit(1);
    }
    return sink.bytes;
}

// The records of a TAP file in memory.
std::vector<Bytes> records(const Bytes& tap) {
    kvr::TapeImage image;
    std::string error;
    std::vector<Bytes> r;
    if (!kvr::parse_tape_image(tap, true, image, error)) return r;
    for (const kvr::TapeBlock& b : image.blocks) r.emplace_back(b.data.begin(), b.data.end());
    return r;
}

int recovered(const std::vector<Bytes>& expected, const std::vector<Bytes>& got) {
    int ok = 0;
    for (const Bytes& e : expected)
        for (const Bytes& g : got)
            if (g == e) {
                ++ok;
                break;
            }
    return ok;
}

// Converts a recording to TAP in memory, the classic way or as kvrtool convert does.
std::vector<Bytes> convert(const Bytes& recording, bool recovering) {
    auto cx = std::make_unique<kvr::Context>();
    cx->settings.tap_output = true;
    cx->settings.output_name = "bench.tap";
    cx->image.open_memory();
    if (recovering) {
        kvr::RecoveryInput input(recording, cx->recording);
        if (!kvr::load_for_recovery(*cx, recording, input)) return {};
        kvr::run_recovering_conversion(*cx, recording, input, false);
    } else {
        if (!kvr::load_sample_bytes(*cx, recording)) return {};
        kvr::run_conversion(*cx);
    }
    if (std::getenv("SHOW")) std::fputs(cx->console.text().c_str(), stdout);
    return records(cx->image.memory());
}

struct Score {
    int blocks = 0, classic = 0, front = 0, lost = 0;
};

Score measure(const Damage& d, double level, int tapes) {
    Score s;
    for (int i = 0; i < tapes; ++i) {
        const Tape tape = test_tape(100u + static_cast<unsigned>(i) * 10u);
        kvr::RenderOptions o;
        o.seed = 7u + static_cast<unsigned>(i);
        d.apply(o, level);
        const Bytes rec = render(tape.image, o);
        const std::vector<Bytes> classic = convert(rec, false), front = convert(rec, true);
        s.blocks += static_cast<int>(tape.blocks.size());
        s.classic += recovered(tape.blocks, classic);
        s.front += recovered(tape.blocks, front);
        // A block the classic way recovers that the front end loses.
        for (const Bytes& b : tape.blocks) {
            const std::vector<Bytes> one{b};
            if (recovered(one, classic) == 1 && recovered(one, front) == 0) ++s.lost;
        }
    }
    return s;
}

void print(const char* name, double level, const Score& s) {
    std::printf("%-17s %8.3f  classic %3d/%-3d (%3.0f %%)  convert %3d/%-3d (%3.0f %%)  lost %d\n", name, level,
                s.classic, s.blocks, 100.0 * s.classic / s.blocks, s.front, s.blocks, 100.0 * s.front / s.blocks, s.lost);
}

}  // namespace

int main(int argc, char** argv) {
    const int tapes = std::getenv("TAPES") ? std::atoi(std::getenv("TAPES")) : 3;
    if (argc == 3 && std::strcmp(argv[1], "sweep") == 0) {
        for (const Damage& d : kDamages) {
            if (std::strcmp(d.name, argv[2]) != 0) continue;
            for (double f : {0.6, 0.8, 0.9, 1.0, 1.1, 1.2, 1.5}) print(d.name, d.calibrated * f, measure(d, d.calibrated * f, tapes));
        }
        return 0;
    }
    Score total;
    const auto start = std::chrono::steady_clock::now();
    for (const Damage& d : kDamages) {
        if (argc > 1 && std::strstr(argv[1], d.name) == nullptr) continue;
        const double level = argc > 2 ? std::atof(argv[2]) : d.calibrated;
        const Score s = measure(d, level, tapes);
        print(d.name, level, s);
        total.blocks += s.blocks, total.classic += s.classic, total.front += s.front, total.lost += s.lost;
    }
    print("all", 0, total);
    std::printf("%.1f s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return 0;
}
