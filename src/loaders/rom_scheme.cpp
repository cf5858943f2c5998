// The ROM loader's scheme at any speed (pilot, two sync HPs, data), and its BleepLoad
// variant, whose tapes carry pilot tones without sync between the blocks.
#include "loaders/rom_scheme.hpp"

#include <algorithm>
#include <any>
#include <array>
#include <cstdio>

#include "analysis/bits.hpp"
#include "analysis/measure.hpp"

namespace kvr {

namespace {

using namespace image;

// BleepLoad's switch.
struct RomSettings {
    bool bleepload = false;
};

// The fields of its report line.
struct RomLine {
    char flag_letter = ' ';  // ' ' for ROM timings within the tolerance, '*' for a turbo block
    std::array<std::uint8_t, 12> head{};  // the first bytes in the buffer: flag, type, name
    std::int32_t pilot_pulse = 0, pilot_count = 0, sync1 = 0, sync2 = 0, bit0 = 0, bit1 = 0;
    std::int32_t used_bits = 0, length = 0;
    char check = '-';
};
const RomLine& line_of(const DecodedBlock& b) { return std::any_cast<const RomLine&>(b.line); }

// A header block: flag 0, a type of 0 to 3, a name of ten characters from byte 2, and the
// length of the data block that follows in bytes 12 and 13.
constexpr std::size_t kNameAt = 2, kNameLength = 10, kDataLengthAt = 12;
constexpr std::int32_t kHeaderLength = 19;

// The name of a header block ("P:", "N:", "C:" or "B:" and its ten characters), else dashes.
std::array<char, 13> header_name(const RomLine& l) {
    static const char* const kPrefix[] = {"P:", "N:", "C:", "B:"};
    std::array<char, 13> text{};
    const std::array<std::uint8_t, 12>& d = l.head;
    if (d[0] == 0 && (l.length == kHeaderLength || l.length == kHeaderLength + 1) && d[1] <= 3) {
        text[0] = kPrefix[d[1]][0];
        text[1] = kPrefix[d[1]][1];
        for (std::size_t i = 0; i < kNameLength; ++i) {
            const std::uint8_t c = d[kNameAt + i];
            text[2 + i] = (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : ' ';
        }
    } else {
        for (std::size_t i = 0; i < 12; ++i) text[i] = '-';
    }
    return text;
}

struct RomState final : CopyableState<RomState> {
    // Set while BleepLoad markers have been skipped since the last block written.
    bool pilot_reset = false;
};

// Timings within the tolerance of the ROM loader's, and a pilot of the length its header
// or data blocks have: a block the ROM loader itself can play.
bool is_standard(const BlockTimings& t, std::uint8_t flag_byte, std::int32_t length, std::int32_t tolerance) {
    const std::int32_t rom_pilots = flag_byte == 0 ? kRomHeaderPilots : kRomDataPilots;
    return percent_diff(t.bit0, kRomBit0) <= tolerance && percent_diff(t.bit1, kRomBit1) <= tolerance &&
           percent_diff(t.pilot_pulse, kRomPilot) <= tolerance && length < 65536 &&
           percent_diff(t.pilot_count, rom_pilots) <= tolerance;
}

// A tone that no sync follows: the BleepLoad pilot-only marker, flagged by last_byte_bits 0.
bool is_marker(const Settings& s, const PilotResult& p) {
    return bleepload(s) && (p.sync1 >= 3 * kRomSync1 || p.sync2 >= 3 * kRomSync2);
}

PilotResult find_pilot(HpCursor& c, const Settings& s, std::int32_t index, LoaderState&) {
    return find_rom_pilot(c, s, index);
}

void after_pilot(HpCursor& c, const Settings&, PilotResult& pilot) { measure_sync_pair(c, pilot); }

DecodedBlock decode(HpCursor& c, const Settings& s, const PilotResult& p, const DecodeInput& in, LoaderState&) {
    DecodedBlock b;
    b.index = in.index;
    BlockTimings& t = b.timings;
    t.sync1 = p.sync1;
    t.sync2 = p.sync2;
    BitRead read;
    const bool marker = is_marker(s, p);
    if (marker) {
        // No bits: the block shows whatever the buffer holds, with a length of 1.
        t.sync1 = t.sync2 = 0;
        read.length = 1;
    } else {
        const std::int32_t data_start = c.pos;
        BitRefs refs = measure_bit_refs(c, s);
        c.pos = data_start;
        read = read_bits(c, refs, s, in.buffer, {.first_block = in.index == 0});
        if (bleepload(s)) {
            t.sync1 = kRomSync1;
            t.sync2 = kRomSync2;
        }
        if (!read.decoded) return b;
    }

    const double spt = c.samples_per_tstate();
    t.pilot_pulse = mean_to_tstates(p.sum, p.count, spt);
    t.pilot_count = p.count;
    BitPulses bits = bit_pulses(read, spt);
    if (bleepload(s)) {
        bits = {kRomBit0, kRomBit1};
        t.pilot_pulse = kRomPilot;
    }
    if (s.approximate_bit1) approximate_bits(bits);
    t.bit0 = bits.bit0;
    t.bit1 = bits.bit1;

    const std::uint8_t* bytes = in.buffer;
    b.data.assign(bytes, bytes + read.length);
    b.last_byte_bits = read.last_byte_bits;
    b.flag_byte = bytes[0];

    RomLine line;
    line.flag_letter = is_standard(t, b.flag_byte, read.length, s.standard_tolerance_pct) ? ' ' : '*';
    std::copy(bytes, bytes + line.head.size(), line.head.begin());
    line.pilot_pulse = t.pilot_pulse, line.pilot_count = t.pilot_count;
    line.sync1 = t.sync1, line.sync2 = t.sync2, line.bit0 = t.bit0, line.bit1 = t.bit1;
    line.used_bits = read.last_byte_bits, line.length = read.length;
    line.check = xor_check(bytes, read.length);
    b.line = line;
    b.waits = true;
    finish_block(c, b);
    return b;
}

// BleepLoad: a marker writes nothing, and the first block written after markers, whichever
// loader read it, carries the pilot of a ROM data block.
void before_image_write(DecodedBlock& b, const Settings& s, LoaderState& state) {
    if (!bleepload(s)) return;
    RomState& rom = state_of<RomState>(state);
    if (b.last_byte_bits == 0) {
        rom.pilot_reset = true;
        return;
    }
    if (rom.pilot_reset) {
        rom.pilot_reset = false;
        b.timings.pilot_pulse = kRomPilot;
        b.timings.pilot_count = kRomDataPilots;
    }
}

void write_image(const DecodedBlock& b, float pause, const Settings& s, std::vector<std::uint8_t>& out) {
    if (bleepload(s) && b.last_byte_bits == 0) return;
    const BlockTimings& t = b.timings;
    const auto length = static_cast<std::int32_t>(b.data.size());
    if (is_standard(t, b.flag_byte, length, s.standard_tolerance_pct)) {
        put_standard_data(out, pause_ms(pause), b.data);
        return;
    }
    // The forced values come after the standard test, so they never change the kind chosen.
    TurboFields f;
    f.pilot = t.pilot_pulse;
    f.sync1 = s.force_sync ? kRomSync1 : t.sync1;
    f.sync2 = s.force_sync ? kRomSync2 : t.sync2;
    f.bit0 = t.bit0;
    f.bit1 = t.bit1;
    f.pilots = s.force_pilot ? s.forced_pilot_hps : t.pilot_count;
    f.used_bits = b.last_byte_bits;
    f.pause_ms = pause_ms(pause);
    put_turbo_data(out, f, b.data);
}

// A marker has no bytes of its own.
bool in_tap(const DecodedBlock& b) { return b.last_byte_bits != 0; }

bool serves(const Settings&, std::int32_t) { return true; }

void print_line(const DecodedBlock& b, Console& out) {
    const RomLine& l = line_of(b);
    out.print("%c%s P-%4d,%4d S-%4d/%4d 0-%4d,1-%4d F-%02X B%d L-%5d C%c ", l.flag_letter, header_name(l).data(),
              l.pilot_pulse, l.pilot_count, l.sync1, l.sync2, l.bit0, l.bit1, l.head[0], l.used_bits, l.length, l.check);
}

// A BleepLoad marker has nothing to check.
bool checks_out(const DecodedBlock& b) {
    const RomLine& l = line_of(b);
    return l.used_bits == 0 || l.check == '*';
}

const BlockKind kKinds[] = {
    {"rom", "ROM timings", "#3a7bd5"},
    {"turbo", "turbo", "#8e44ad"},
    {"marker", "BleepLoad marker", "#95a5a6"},
};

BlockDescription describe(const DecodedBlock& b) {
    const RomLine& l = line_of(b);
    BlockDescription d;
    d.kind = &kKinds[l.used_bits == 0 ? 2 : l.flag_letter == ' ' ? 0 : 1];
    d.learns_bit_lengths = true;
    d.end_factor = kBlockEndFactor;
    char flag[3];
    std::snprintf(flag, sizeof flag, "%02X", l.head[0]);
    d.fields = {{"timings", l.flag_letter == ' ' ? "standard" : "turbo"},
                {"name", header_name(l).data()},
                {"pilot", field_number(l.pilot_pulse)},
                {"pilot HPs", field_number(l.pilot_count)},
                {"sync 1", field_number(l.sync1)},
                {"sync 2", field_number(l.sync2)},
                {"bit 0", field_number(l.bit0)},
                {"bit 1", field_number(l.bit1)},
                {"flag", flag}};
    add_length_fields(d.fields, l.used_bits, "length", l.length, l.check);
    return d;
}

// A good header announces its data block: the length in the header, with the flag and the
// checksum byte.
std::int32_t announces(const DecodedBlock& b) {
    const RomLine& l = line_of(b);
    if (l.length != kHeaderLength || l.check != '*' || b.data.size() < kDataLengthAt + 2 || b.data[0] != 0) return -1;
    return (b.data[kDataLengthAt] | (b.data[kDataLengthAt + 1] << 8)) + 2;
}

// The line follows the bytes: the header's name, the flag and the checksum letter.
DecodedBlock with_bytes(const DecodedBlock& b, std::span<const std::uint8_t> bytes) {
    DecodedBlock out = b;
    out.data.assign(bytes.begin(), bytes.end());
    out.last_byte_bits = 8;
    RomLine line = line_of(b);
    std::fill(line.head.begin(), line.head.end(), 0);
    std::copy_n(out.data.begin(), std::min(out.data.size(), line.head.size()), line.head.begin());
    line.length = static_cast<std::int32_t>(out.data.size());
    line.used_bits = 8;
    line.check = xor_check(out.data.data(), static_cast<std::int32_t>(out.data.size()));
    out.flag_byte = out.data.empty() ? b.flag_byte : out.data[0];
    out.line = line;
    return out;
}

const LoaderChoice kChoices[] = {{"rom"}, {"bleep", "/bleep"}};

const Switch kSwitches[] = {
    {"/bleep", false, [](Settings& s, std::int32_t) { s.loaders.get<RomSettings>().bleepload = true; }},
};

}  // namespace

bool bleepload(const Settings& s) { return s.loaders.get<RomSettings>().bleepload; }

PilotResult find_rom_pilot(HpCursor& c, const Settings& s, std::int32_t index) {
    PilotResult p = standard_pilot(c, s);
    if (bleepload(s) && index < 3 && p.count < 1000) p.found = false;
    return p;
}

extern const LoaderDescriptor rom_scheme_loader;
const LoaderDescriptor rom_scheme_loader{
    .name = "rom",
    .switches = kSwitches,
    .choices = kChoices,
    .serves = serves,
    .make_state = new_state<RomState>,
    .find_pilot = find_pilot,
    .after_pilot = after_pilot,
    .decode = decode,
    .before_image_write = before_image_write,
    .write_image = write_image,
    .in_tap = in_tap,
    .print_line = print_line,
    .checks_out = checks_out,
    .describe = describe,
    .kinds = kKinds,
    .announces = announces,
    .held_to_announced_length = true,
    .with_bytes = with_bytes,
};

}  // namespace kvr
