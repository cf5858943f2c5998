// The listing of an image: one line per block.
#include <charconv>
#include <cstdio>
#include <optional>

#include "formats/kvr_image.hpp"
#include "playback/list.hpp"

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

// Appends v as printf's "%0W.3f" would (zeros after any sign), and integers as "%Wd" or
// "%0WllX": the prefix of every listing line, cheaper than a format parsed each time.
void put_fixed3(std::string& out, double v, std::size_t width) {
    char text[48];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed, 3);
    const std::size_t n = ec == std::errc{} ? static_cast<std::size_t>(end - text) : 0;
    const std::size_t sign = (n > 0 && text[0] == '-') ? 1 : 0;
    out.append(text, sign);
    if (n < width) out.append(width - n, '0');
    out.append(text + sign, n - sign);
}

void put_integer(std::string& out, unsigned long long v, std::size_t width, char pad, int base) {
    char text[24];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, v, base);
    const std::size_t n = ec == std::errc{} ? static_cast<std::size_t>(end - text) : 0;
    if (n < width) out.append(width - n, pad);
    for (std::size_t i = 0; i < n; ++i) out += (text[i] >= 'a' && text[i] <= 'f') ? static_cast<char>(text[i] - 32) : text[i];
}

}  // namespace

// The escapes keep the text unambiguous: a backslash or quote of the name is escaped too.
std::string printable(const std::string& name) {
    std::string out;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\' || byte == '"') {
            out += '\\';
            out += c;
        } else if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            out += escape;
        }
    }
    return out;
}

std::optional<HeaderName> header_in(const TapeBlock& b) {
    static const char* const kTypes[] = {"program", "number array", "character array", "bytes"};
    constexpr std::size_t kLength = 19, kNameAt = 2, kNameLength = 10;
    const bool data_block = b.id == image::kStandardData || b.id == image::kTurboData;
    if (!data_block || b.data.size() != kLength || b.data[0] != 0 || b.data[1] > 3) return std::nullopt;
    std::uint8_t x = 0;
    for (std::uint8_t v : b.data) x ^= v;
    if (x != 0) return std::nullopt;
    std::string name(b.data.begin() + kNameAt, b.data.begin() + kNameAt + kNameLength);
    name.erase(name.find_last_not_of(' ') + 1);
    return HeaderName{kTypes[b.data[1]], name};
}

namespace {

// The header's name after a data block's fields.
std::string header_summary(const TapeBlock& b) {
    const std::optional<HeaderName> h = header_in(b);
    return h ? ", header of " + h->type + " \"" + printable(h->name) + "\"" : "";
}

std::string describe(const TapeBlock& b) {
    char text[256];
    switch (b.id) {
    case image::kStandardData:
        std::snprintf(text, sizeof text, "standard data   pause %d ms, %s", b.pause_ms, data_summary(b).c_str());
        return text + header_summary(b);
    case image::kTurboData:
        std::snprintf(text, sizeof text,
                      "turbo data      pilot %d x %d, sync %d/%d, bits %d/%d, used bits %d, pause %d ms, %s",
                      b.pilot_pulse, b.pilot_count, b.sync1, b.sync2, b.bit0, b.bit1, b.used_bits, b.pause_ms,
                      data_summary(b).c_str());
        return text + header_summary(b);
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
    case image::kGroupStart: return "group start     \"" + printable(b.name) + "\"";
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

std::string TapeListing::heading() { return "  #  offset    time       block\n"; }

std::string TapeListing::line(const TapeBlock& b) {
    const double seconds = tstates_ / kClock;
    const int minutes = static_cast<int>(seconds / 60.0);
    std::string out;
    put_integer(out, ++count_, 3, ' ', 10);
    out += "  ";
    put_integer(out, b.offset, 8, '0', 16);
    out += "  ";
    put_integer(out, static_cast<unsigned long long>(minutes), 3, ' ', 10);
    out += ':';
    put_fixed3(out, seconds - minutes * 60.0, 6);
    out += "  ";
    out += describe(b);
    out += '\n';
    tstates_ += block_tstates(b);
    return out;
}

std::string TapeListing::total() const {
    char total[64];
    const double seconds = tstates_ / kClock;
    std::snprintf(total, sizeof total, "%zu blocks, %d:%06.3f\n", count_, static_cast<int>(seconds / 60.0),
                  seconds - static_cast<int>(seconds / 60.0) * 60.0);
    return total;
}

std::string list_tape_image(const TapeImage& image) {
    TapeListing listing;
    std::string out = TapeListing::heading();
    for (const TapeBlock& b : image.blocks) out += listing.line(b);
    return out + listing.total();
}

}  // namespace kvr
