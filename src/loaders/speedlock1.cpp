// Speedlock type 1: a leader of clicked segments, two sync HPs, six flag bits, then the
// data at 565 and 1130 T-states.
#include <any>
#include <cstdio>

#include "analysis/bits.hpp"
#include "analysis/measure.hpp"
#include "loaders/speedlock_common.hpp"

namespace kvr {

namespace {

constexpr std::int32_t kBit0 = 565;
constexpr std::int32_t kBit1 = 1130;

// The fields of its report line: the block's number and the flag bits in the order read.
struct Speedlock1Line {
    std::int32_t number = 0;
    std::array<char, 7> flags{};
    std::int32_t used_bits = 0, length = 0;
    char check = '-';
};
const Speedlock1Line& line_of(const DecodedBlock& b) { return std::any_cast<const Speedlock1Line&>(b.line); }

struct Speedlock1State final : CopyableState<Speedlock1State> {
    SpeedlockLeader leader;
    // The sync and flag pulses, with the flags of the most recent block.
    std::array<std::uint16_t, 14> sync_pulses = kSync14Pulses;
};

bool serves(const Settings& settings, std::int32_t index) {
    const SpeedlockSettings& s = speedlock_settings(settings);
    return index >= s.skip && s.type == 1;
}

PilotResult find_pilot(HpCursor& c, const Settings& s, std::int32_t, LoaderState& state) {
    return detect_speedlock_leader(c, s, state_of<Speedlock1State>(state).leader);
}

// The HP after the leader's closing one; the image has two sync pulses of 3150 for them.
void after_pilot(HpCursor& c, const Settings&, PilotResult&) { c.skip(1); }

DecodedBlock decode(HpCursor& c, const Settings& s, const PilotResult&, const DecodeInput& in, LoaderState& state) {
    Speedlock1State& st = state_of<Speedlock1State>(state);
    DecodedBlock b;
    b.index = in.index;
    b.timings.bit0 = kBit0;
    b.timings.bit1 = kBit1;
    BitRefs refs = fixed_bit_refs(kBit0, kBit1, c.samples_per_tstate());
    const std::int32_t number = saturate(std::int64_t{in.index} - speedlock_settings(s).skip + 1);

    char name[40];
    std::snprintf(name, sizeof name, "SpeedLock 1 Block %d", number);
    b.lead_in.push_back(image::Piece::group_start(name));
    append_leader(st.leader, b.lead_in);

    read_bits(c, refs, s, in.buffer, {.first_block = in.index == 0, .six_bits = true});
    // The flag bits stand at the top of the first byte, whatever the read's length says.
    std::uint8_t flags = in.buffer[0];
    Speedlock1Line line;
    line.number = number;
    for (std::size_t i = 0; i < 6; ++i, flags = static_cast<std::uint8_t>(flags << 1)) {
        const bool one = (flags & 0x80) != 0;
        st.sync_pulses[2 + 2 * i] = st.sync_pulses[3 + 2 * i] = static_cast<std::uint16_t>(one ? kBit1 : kBit0);
        line.flags[i] = one ? '1' : '0';
    }
    line.flags[6] = '\0';
    b.lead_in.push_back(image::Piece::pulse_sequence({st.sync_pulses.begin(), st.sync_pulses.end()}));

    const BitRead read = read_bits(c, refs, s, in.buffer, {.first_block = in.index == 0});
    b.data.assign(in.buffer, in.buffer + read.length);
    b.last_byte_bits = read.last_byte_bits;
    b.flag_byte = in.buffer[0];
    line.used_bits = read.last_byte_bits;
    line.length = read.length;
    line.check = xor_check(in.buffer, read.length);
    b.line = line;
    // A read without bits is still reported and counted; nothing of it waits.
    b.waits = read.decoded;
    finish_block(c, b);
    return b;
}

void print_line(const DecodedBlock& b, Console& out) {
    const Speedlock1Line& l = line_of(b);
    out.print(" Speedlock 1 block %d   Flag:%s                       B%d L-%5d C%c ", l.number, l.flags.data(),
              l.used_bits, l.length, l.check);
}

bool checks_out(const DecodedBlock& b) { return line_of(b).check == '*'; }

const BlockKind kKinds[] = {{"speedlock1", "Speedlock 1", "#16a085"}};

BlockDescription describe(const DecodedBlock& b) {
    const Speedlock1Line& l = line_of(b);
    BlockDescription d;
    d.kind = &kKinds[0];
    d.end_factor = kBlockEndFactor;
    d.fields = {{"block", field_number(l.number)}, {"flag bits", l.flags.data()}};
    add_length_fields(d.fields, l.used_bits, "length", l.length, l.check);
    return d;
}

// Variant 2 closes the group of every turbo block.
const LoaderChoice kChoices[] = {{"speedlock1", "/slock1", 2}};

const Switch kSwitches[] = {
    {"/slock1", true,
     [](Settings& s, std::int32_t n) {
         speedlock_settings(s).type = 1;
         speedlock_settings(s).variant = n;
     }},
};

}  // namespace

extern const LoaderDescriptor speedlock1_loader;
const LoaderDescriptor speedlock1_loader{
    .name = "speedlock1",
    .switches = kSwitches,
    .choices = kChoices,
    .prepare = default_speedlock_skip,
    .serves = serves,
    .make_state = new_state<Speedlock1State>,
    .find_pilot = find_pilot,
    .after_pilot = after_pilot,
    .decode = decode,
    .write_image = write_speedlock_data,
    .print_line = print_line,
    .checks_out = checks_out,
    .describe = describe,
    .kinds = kKinds,
};

}  // namespace kvr
