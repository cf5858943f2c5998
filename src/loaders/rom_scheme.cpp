// The ROM loader's scheme at any speed (pilot, two sync HPs, data), and its BleepLoad
// variant, whose tapes carry pilot tones without sync between the blocks.
#include "loaders/rom_scheme.hpp"

#include <algorithm>

#include "analysis/bits.hpp"
#include "analysis/measure.hpp"

namespace kvr {

namespace {

using namespace image;

// BleepLoad's switch.
struct RomSettings {
    bool bleepload = false;
};

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
    .serves = serves,
    .make_state = new_state<RomState>,
    .find_pilot = find_pilot,
    .after_pilot = after_pilot,
    .decode = decode,
    .before_image_write = before_image_write,
    .write_image = write_image,
    .in_tap = in_tap,
};

}  // namespace kvr
