#include "tool/json_list.hpp"

#include "formats/kvr_image.hpp"
#include "playback/list.hpp"
#include "report_page/json_text.hpp"

namespace kvr {

namespace {

std::string type_name(std::uint8_t id) {
    switch (id) {
    case image::kStandardData: return "standard data";
    case image::kTurboData: return "turbo data";
    case image::kPureTone: return "pure tone";
    case image::kPulseSequence: return "pulse sequence";
    case image::kPureData: return "pure data";
    case image::kPause: return "pause";
    case image::kGroupStart: return "group start";
    case image::kGroupEnd: return "group end";
    default: return "block";
    }
}

std::string number(const char* name, long long value) { return std::string(",\"") + name + "\":" + std::to_string(value); }

// The bytes of a data block: their count, the flag, the checksum state and a header's name.
std::string data_fields(const TapeBlock& b) {
    std::string s = number("length", static_cast<long long>(b.data.size()));
    if (b.data.empty()) return s;
    std::uint8_t x = 0;
    for (std::uint8_t v : b.data) x ^= v;
    s += number("flag", b.data[0]) + ",\"checksum\":" + (x == 0 ? "\"good\"" : "\"bad\"");
    const std::optional<HeaderName> h = header_in(b);
    s += ",\"header\":" + (h ? "{\"type\":" + json_string(h->type) + ",\"name\":" + json_string(h->name) + "}" : "null");
    return s;
}

std::string fields(const TapeBlock& b) {
    switch (b.id) {
    case image::kStandardData: return number("pause_ms", b.pause_ms) + data_fields(b);
    case image::kTurboData:
        return number("pilot", b.pilot_pulse) + number("pilot_count", b.pilot_count) + number("sync1", b.sync1) +
               number("sync2", b.sync2) + number("bit0", b.bit0) + number("bit1", b.bit1) +
               number("used_bits", b.used_bits) + number("pause_ms", b.pause_ms) + data_fields(b);
    case image::kPureData:
        return number("bit0", b.bit0) + number("bit1", b.bit1) + number("used_bits", b.used_bits) +
               number("pause_ms", b.pause_ms) + data_fields(b);
    case image::kPureTone: return number("pulse", b.tone_pulse) + number("count", b.tone_count);
    case image::kPulseSequence: return number("pulses", static_cast<long long>(b.pulses.size()));
    case image::kPause: return number("pause_ms", b.pause_ms);
    case image::kGroupStart: return ",\"name\":" + json_string(b.name);
    default: return "";
    }
}

}  // namespace

std::string JsonListing::heading(const std::string& image_name, bool tap) {
    return "{\"image\":" + json_string(image_name) + ",\"format\":" + (tap ? "\"tap\"" : "\"kvr\"") + ",\n \"blocks\":[";
}

std::string JsonListing::line(const TapeBlock& b) {
    std::string s = count_ == 0 ? "\n  " : ",\n  ";
    s += "{\"number\":" + std::to_string(++count_) + number("id", b.id) + number("offset", static_cast<long long>(b.offset));
    s += ",\"time\":" + json_number(tstates_ / image::kClockHz, 3) + ",\"type\":\"" + type_name(b.id) + "\"";
    s += fields(b) + "}";
    tstates_ += block_tstates(b);
    return s;
}

std::string JsonListing::total() const {
    return "],\n \"total\":{\"blocks\":" + std::to_string(count_) + ",\"seconds\":" + json_number(tstates_ / image::kClockHz, 3) +
           "}}\n";
}

}  // namespace kvr
