// The listing of an image: one line per block.
#include <cstdio>

#include "formats/kvr_image.hpp"
#include "playback/tape_image.hpp"

namespace kvr {

namespace {

constexpr double kClock = image::kClockHz;

std::int64_t data_bits(const TapeBlock& b) {
    if (b.data.empty()) return 0;
    const int last = (b.used_bits >= 1 && b.used_bits <= 8) ? b.used_bits : 8;
    return static_cast<std::int64_t>(b.data.size() - 1) * 8 + last;
}

// The bits of the block's data as pulses: the count of 1 bits and of 0 bits.
void count_bits(const TapeBlock& b, std::int64_t& ones, std::int64_t& zeros) {
    ones = zeros = 0;
    const std::int64_t total = data_bits(b);
    for (std::int64_t i = 0; i < total; ++i) {
        if ((b.data[static_cast<std::size_t>(i / 8)] >> (7 - i % 8)) & 1) ++ones;
        else ++zeros;
    }
}

std::string data_summary(const TapeBlock& b) {
    char text[96];
    std::uint8_t x = 0;
    for (std::uint8_t v : b.data) x ^= v;
    if (b.data.empty())
        std::snprintf(text, sizeof text, "0 bytes");
    else
        std::snprintf(text, sizeof text, "%zu bytes, flag %02X, checksum %s", b.data.size(), b.data[0],
                      x == 0 ? "good" : "bad");
    return text;
}

std::string describe(const TapeBlock& b) {
    char text[256];
    switch (b.id) {
    case image::kStandardData:
        std::snprintf(text, sizeof text, "standard data   pause %d ms, %s", b.pause_ms, data_summary(b).c_str());
        break;
    case image::kTurboData:
        std::snprintf(text, sizeof text,
                      "turbo data      pilot %d x %d, sync %d/%d, bits %d/%d, used bits %d, pause %d ms, %s",
                      b.pilot_pulse, b.pilot_count, b.sync1, b.sync2, b.bit0, b.bit1, b.used_bits, b.pause_ms,
                      data_summary(b).c_str());
        break;
    case image::kPureTone: std::snprintf(text, sizeof text, "pure tone       %d x %d", b.tone_pulse, b.tone_count); break;
    case image::kPulseSequence: {
        std::string pulses;
        for (std::size_t i = 0; i < b.pulses.size() && i < 8; ++i) {
            pulses += ' ';
            pulses += std::to_string(b.pulses[i]);
        }
        if (b.pulses.size() > 8) pulses += " ...";
        std::snprintf(text, sizeof text, "pulse sequence  %zu pulses:%s", b.pulses.size(), pulses.c_str());
        break;
    }
    case image::kPureData:
        std::snprintf(text, sizeof text, "pure data       bits %d/%d, used bits %d, pause %d ms, %s", b.bit0, b.bit1,
                      b.used_bits, b.pause_ms, data_summary(b).c_str());
        break;
    case image::kPause: std::snprintf(text, sizeof text, "pause           %d ms", b.pause_ms); break;
    case image::kGroupStart: std::snprintf(text, sizeof text, "group start     \"%s\"", b.name.c_str()); break;
    case image::kGroupEnd: std::snprintf(text, sizeof text, "group end"); break;
    default: std::snprintf(text, sizeof text, "block 0x%02X", b.id); break;
    }
    return text;
}

}  // namespace

double block_tstates(const TapeBlock& b) {
    std::int64_t ones = 0, zeros = 0;
    double t = b.pause_ms * (kClock / 1000.0);
    switch (b.id) {
    case image::kStandardData:
    case image::kTurboData:
        t += static_cast<double>(b.pilot_count) * b.pilot_pulse + b.sync1 + b.sync2;
        [[fallthrough]];
    case image::kPureData:
        count_bits(b, ones, zeros);
        t += 2.0 * (static_cast<double>(ones) * b.bit1 + static_cast<double>(zeros) * b.bit0);
        break;
    case image::kPureTone: t += static_cast<double>(b.tone_count) * b.tone_pulse; break;
    case image::kPulseSequence:
        for (std::uint16_t p : b.pulses) t += p;
        break;
    default: break;
    }
    return t;
}

std::string list_tape_image(const TapeImage& image) {
    std::string out = "  #  offset    time       block\n";
    double t = 0.0;
    for (std::size_t i = 0; i < image.blocks.size(); ++i) {
        const TapeBlock& b = image.blocks[i];
        const double seconds = t / kClock;
        const int minutes = static_cast<int>(seconds / 60.0);
        char line[400];
        std::snprintf(line, sizeof line, "%3zu  %08llX  %3d:%06.3f  %s\n", i + 1, static_cast<unsigned long long>(b.offset), minutes,
                      seconds - minutes * 60.0, describe(b).c_str());
        out += line;
        t += block_tstates(b);
    }
    char total[64];
    const double seconds = t / kClock;
    std::snprintf(total, sizeof total, "%zu blocks, %d:%06.3f\n", image.blocks.size(), static_cast<int>(seconds / 60.0),
                  seconds - static_cast<int>(seconds / 60.0) * 60.0);
    out += total;
    return out;
}

}  // namespace kvr
