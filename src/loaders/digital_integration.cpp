// Digital Integration blocks (the third and fourth blocks of a tape): two pilot tones of
// different lengths, one sync HP, then data whose bit lengths are measured from the block.
#include <any>
#include <cstdio>

#include "analysis/bits.hpp"
#include "analysis/measure.hpp"
#include "loaders/loader.hpp"
#include "loaders/speedlock_common.hpp"

namespace kvr {

namespace {

// Set by its switch.
struct DigitalIntegrationSettings {
    bool on = false;
};

// The fields of its report line: the block's number (1 or 2), its bit timings, used bits
// and length; the scheme has no checksum letter.
struct DigitalIntegrationLine {
    std::int32_t number = 0, bit0 = 0, bit1 = 0, used_bits = 0, length = 0;
};
const DigitalIntegrationLine& line_of(const DecodedBlock& b) {
    return std::any_cast<const DigitalIntegrationLine&>(b.line);
}

struct DigitalIntegrationState final : CopyableState<DigitalIntegrationState> {
    // The first tone of the pilot just found.
    std::int32_t tone1_count = 0;
    double tone1_sum = 0.0;
};

// Only before the first Speedlock block, when a skip count sets one.
bool serves(const Settings& s, std::int32_t index) {
    return index < speedlock_settings(s).skip && s.loaders.get<DigitalIntegrationSettings>().on &&
           (index == 2 || index == 3);
}

// The first tone counts its opening pair; the HP that ends it opens the second, whose
// reference is the mean of that HP and the next. The HP that ends the second tone is counted.
PilotResult find_pilot(HpCursor& c, const Settings& s, std::int32_t, LoaderState& state) {
    DigitalIntegrationState& st = state_of<DigitalIntegrationState>(state);
    const std::int32_t tolerance = s.pilot_tolerance_pct;
    PilotResult p;
    if (!tone_search(c, tolerance, p.start)) return p;
    st.tone1_count = 2;
    st.tone1_sum = static_cast<double>(c.cur) + c.prev;
    c.cur = mean_down(c.cur, c.prev);
    count_tone(c, tolerance, st.tone1_count, st.tone1_sum);
    st.tone1_sum -= c.prev;
    --st.tone1_count;
    p.count = 1;
    p.sum = c.prev;
    c.cur = c.measure();
    c.cur = mean_down(c.cur, c.prev);
    count_tone(c, tolerance, p.count, p.sum);
    p.found = p.count >= s.min_pilot_hps;
    return p;
}

// The one sync HP is the one that ended the second tone.
void after_pilot(HpCursor& c, const Settings&, PilotResult& p) { p.sync1 = to_tstates(c.prev, c.samples_per_tstate()); }

DecodedBlock decode(HpCursor& c, const Settings& s, const PilotResult& p, const DecodeInput& in, LoaderState& state) {
    const DigitalIntegrationState& st = state_of<DigitalIntegrationState>(state);
    DecodedBlock b;
    b.index = in.index;
    const std::int32_t data_start = c.pos;
    BitRefs refs = measure_bit_refs(c, s);
    c.pos = data_start;
    const BitRead read = read_bits(c, refs, s, in.buffer, {.first_block = in.index == 0});
    if (!read.decoded) return b;

    const double spt = c.samples_per_tstate();
    BitPulses bits = bit_pulses(read, spt);
    if (s.approximate_bit1) approximate_bits(bits);
    BlockTimings& t = b.timings;
    t.pilot_pulse = mean_to_tstates(p.sum, p.count, spt);
    t.pilot_count = p.count;
    t.sync1 = p.sync1;
    t.bit0 = bits.bit0;
    t.bit1 = bits.bit1;
    b.first_tone = {mean_to_tstates(st.tone1_sum, st.tone1_count, spt), st.tone1_count};
    b.data.assign(in.buffer, in.buffer + read.length);
    b.last_byte_bits = read.last_byte_bits;
    b.flag_byte = in.buffer[0];
    b.line = DigitalIntegrationLine{in.index - 1, t.bit0, t.bit1, read.last_byte_bits, read.length};
    b.waits = true;
    finish_block(c, b);
    return b;
}

// The whole group goes out when the pause is known: both tones, the sync, the data.
void write_image(const DecodedBlock& b, float pause, const Settings&, std::vector<std::uint8_t>& out) {
    const BlockTimings& t = b.timings;
    char name[32];
    std::snprintf(name, sizeof name, "DI Block %d", b.index - 1);
    image::put_group_start(out, name);
    image::put_pure_tone(out, b.first_tone.pulse, b.first_tone.count);
    image::put_pure_tone(out, t.pilot_pulse, t.pilot_count);
    const std::uint16_t sync[] = {image::field16(t.sync1)};
    image::put_pulse_sequence(out, sync);
    image::put_pure_data(out, t.bit0, t.bit1, b.last_byte_bits, image::pause_ms(pause), b.data);
    image::put_group_end(out);
}

void print_line(const DecodedBlock& b, Console& out) {
    const DigitalIntegrationLine& l = line_of(b);
    out.print(" Digital Integration Block %d          0-%4d,1-%4d      B%d L-%5d    ", l.number, l.bit0, l.bit1,
              l.used_bits, l.length);
}

// No checksum letter is printed, but the last byte is the exclusive-or of the others.
bool checks_out(const DecodedBlock& b) {
    std::uint8_t x = 0;
    for (std::uint8_t v : b.data) x ^= v;
    return !b.data.empty() && x == 0;
}

const BlockKind kKinds[] = {{"di", "Digital Integration", "#d35400"}};

BlockDescription describe(const DecodedBlock& b) {
    const DigitalIntegrationLine& l = line_of(b);
    BlockDescription d;
    d.kind = &kKinds[0];
    d.learns_bit_lengths = true;
    d.end_factor = kBlockEndFactor;
    d.fields = {{"block", field_number(l.number)},   {"bit 0", field_number(l.bit0)},
                {"bit 1", field_number(l.bit1)},     {"used bits", field_number(l.used_bits)},
                {"length", field_number(l.length)}};
    return d;
}

const LoaderChoice kChoices[] = {{"di", "/diload"}};

const Switch kSwitches[] = {
    {"/diload", false, [](Settings& s, std::int32_t) { s.loaders.get<DigitalIntegrationSettings>().on = true; }},
};

}  // namespace

extern const LoaderDescriptor digital_integration_loader;
const LoaderDescriptor digital_integration_loader{
    .name = "digital_integration",
    .switches = kSwitches,
    .choices = kChoices,
    .serves = serves,
    .make_state = new_state<DigitalIntegrationState>,
    .find_pilot = find_pilot,
    .after_pilot = after_pilot,
    .decode = decode,
    .write_image = write_image,
    .print_line = print_line,
    .checks_out = checks_out,
    .describe = describe,
    .kinds = kKinds,
};

}  // namespace kvr
