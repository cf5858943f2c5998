// Speedlock types 2 to 4. After the ordinary ROM blocks come two turbo blocks: block 1 is
// one run of data, block 2 a run of sub-blocks, each but the last followed on tape by the
// trailer pattern. Type 2 opens its blocks with a leader of clicked segments, types 3 and
// 4 with a ROM-scheme pilot; the sync and flag HPs are skipped, as their pulses are fixed.
// Type 3 variant 2 has a long stretch of noise before block 1, which the image replaces
// by a generated tone and a pause.
#include <any>
#include <cstdio>
#include <optional>

#include "analysis/bits.hpp"
#include "analysis/measure.hpp"
#include "loaders/rom_scheme.hpp"
#include "loaders/speedlock_common.hpp"

namespace kvr {

namespace {

// Block 2 is read in sub-blocks, which end at an HP longer than this many times the 1 length.
constexpr std::int32_t kSubBlockEndFactor = 2;

// The fields of a block's report line. Block 2's length is the total of its sub-blocks.
struct SpeedlockLine {
    std::int32_t block = 1;  // 1 or 2
    std::int32_t type = 0, used_bits = 0, length = 0;
    char check = '-';
    std::optional<double> noise_seconds;  // the simulated noise that replaces the stretch before block 1
};
const SpeedlockLine& line_of(const DecodedBlock& b) { return std::any_cast<const SpeedlockLine&>(b.line); }

struct SpeedlockState final : CopyableState<SpeedlockState> {
    SpeedlockLeader leader;
    // Sync, fixed pattern and six flag pairs of a type 3 or 4 block.
    std::array<std::uint16_t, 28> sync_pulses{667,  735,  714,  714,  1428, 1428, 2144, 2144, 2144, 2144,
                                              2144, 2144, 1428, 1428, 714,  714,  0,    0,    0,    0,
                                              0,    0,    0,    0,    0,    0,    0,    0};
    // Numbers the sub-blocks across the whole run.
    std::int32_t subblock_number = 1;
};

BitPulses timings_of(std::int32_t type) {
    if (type == 3) return {551, 1102};
    if (type == 4) return {753, 1508};
    return {565, 1130};
}

bool noisy_block1(const Settings& settings, std::int32_t index) {
    const SpeedlockSettings& s = speedlock_settings(settings);
    return s.type == 3 && s.variant == 2 && index == s.skip;
}

bool serves(const Settings& settings, std::int32_t index) {
    const SpeedlockSettings& s = speedlock_settings(settings);
    return index >= s.skip && (s.type == 2 || s.type == 3 || s.type == 4);
}

PilotResult find_pilot(HpCursor& c, const Settings& s, std::int32_t index, LoaderState& state) {
    if (speedlock_settings(s).type == 2) return detect_speedlock_leader(c, s, state_of<SpeedlockState>(state).leader);
    return find_rom_pilot(c, s, index);
}

// The sync and flag HPs, not decoded.
void after_pilot(HpCursor& c, const Settings& s, PilotResult&) { c.skip(speedlock_settings(s).type == 2 ? 13 : 27); }

// The noise stands in for the gap before block 1: the block before it gets no pause.
bool replaces_gap(const Settings& s, std::int32_t index) { return noisy_block1(s, index); }

// The fixed flag pattern 1, 1, 1, 0, 1, 0 in the last six pairs of the 28-pulse table.
void fill_flags(std::array<std::uint16_t, 28>& pulses, const BitPulses& bits) {
    static const bool kFlags[6] = {true, true, true, false, true, false};
    for (std::size_t i = 0; i < 6; ++i)
        pulses[16 + 2 * i] = pulses[17 + 2 * i] = static_cast<std::uint16_t>(kFlags[i] ? bits.bit1 : bits.bit0);
}

// The stretch before block 1 in whole milliseconds, at most 24000.
std::int64_t noise_ms(std::int32_t pilot_start, std::int32_t last_block_end, std::int32_t rate) {
    const std::int64_t gap = std::int64_t{pilot_start} - last_block_end;
    // The rate is cut to whole kilohertz first; below 1 kHz that would divide by zero.
    std::int64_t ms = rate >= 1000 ? gap / (rate / 1000) : (rate > 0 ? gap * 1000 / rate : 0);
    return ms > 24000 ? 24000 : ms;
}

// Looks at the next HPs without consuming them; stops at the first that does not fit.
bool trailer_follows(HpCursor& c) {
    const std::int32_t saved = c.pos;
    bool found = true;
    for (int i = 0; i < image::kTrailerLength && found; ++i) {
        const std::int32_t t = to_tstates(c.measure(), c.samples_per_tstate());
        found = percent_diff(t, image::trailer_pulse(i)) <= 30;
    }
    c.pos = saved;
    return found;
}

bool pair_ends_subblock(const HpCursor& c, const BitRefs& refs, const Settings& s) {
    if (s.end_given) return percent_diff_at_least(c.cur, c.prev, s.end_threshold_pct);
    const std::int64_t limit = kSubBlockEndFactor * std::int64_t{refs.bit1};
    return c.cur > limit || c.prev > limit;
}

struct SubBlockRead {
    BitRead read;
    bool trailer_follows = false;
};

// One sub-block: its bits until a trailer follows a whole byte, or until the block ends.
SubBlockRead read_subblock(HpCursor& c, BitRefs& refs, const Settings& s, std::uint8_t* buffer) {
    BitReader r{c, refs, s, buffer, {}};
    r.start();
    SubBlockRead out;
    do {
        if (r.read.last_byte_bits == 0 && r.read.length > 0 && trailer_follows(c)) {
            out.trailer_follows = true;
            break;
        }
        if (r.full()) break;
        if (!r.measure_pair() || pair_ends_subblock(c, refs, s)) break;
        if (r.is_glitch() && !r.merge_glitch()) break;
        const std::int32_t pair_sum = c.prev + c.cur;
        const int bit = r.decide(pair_sum);
        r.account(bit, pair_sum);
        r.store(bit);
    } while (c.pos < c.count());
    r.finish_partial_byte();
    r.read.decoded = true;  // even a sub-block without bits leaves a block waiting
    out.read = r.read;
    return out;
}

// Block 2: every sub-block but the last goes out at once; the last waits. The last byte of
// all checks every byte before it, across the sub-blocks.
void read_block2(HpCursor& c, BitRefs& refs, const Settings& s, std::uint8_t* buffer, SpeedlockState& st,
                 DecodedBlock& b) {
    std::int32_t total = 0;
    std::uint8_t x = 0;
    for (;;) {
        const SubBlockRead sub = read_subblock(c, refs, s, buffer);
        const BitRead& r = sub.read;
        SubBlock piece{st.subblock_number, b.subblock_bytes.size(), r.length, r.last_byte_bits};
        b.subblocks.push_back(piece);
        total += r.length;
        if (!sub.trailer_follows) {
            for (std::int32_t i = 0; i + 1 < r.length; ++i) x ^= buffer[i];
            b.data.assign(buffer, buffer + r.length);
            b.last_byte_bits = r.last_byte_bits;
            b.flag_byte = buffer[0];
            const char check = (r.length > 0 && x == buffer[r.length - 1]) ? '*' : '-';
            b.line = SpeedlockLine{2, speedlock_settings(s).type, r.last_byte_bits, total, check, {}};
            return;
        }
        for (std::int32_t i = 0; i < r.length; ++i) x ^= buffer[i];
        b.subblock_bytes.insert(b.subblock_bytes.end(), buffer, buffer + r.length);
        c.skip(image::kTrailerLength);  // the trailer on tape
        ++st.subblock_number;
    }
}

DecodedBlock decode(HpCursor& c, const Settings& s, const PilotResult& p, const DecodeInput& in, LoaderState& state) {
    SpeedlockState& st = state_of<SpeedlockState>(state);
    const std::int32_t type = speedlock_settings(s).type;
    DecodedBlock b;
    b.index = in.index;
    const BitPulses bits = timings_of(type);
    b.timings.bit0 = bits.bit0;
    b.timings.bit1 = bits.bit1;
    BitRefs refs = fixed_bit_refs(bits.bit0, bits.bit1, c.samples_per_tstate());
    if (type == 3 || type == 4) fill_flags(st.sync_pulses, bits);
    const int block = in.index == speedlock_settings(s).skip ? 1 : 2;

    std::int64_t ms = 0;
    if (noisy_block1(s, in.index)) {
        ms = noise_ms(p.start, in.last_block_end, c.sample_rate());
        if (ms < 20000) return b;  // still part of the noise before block 1
    }
    char name[40];
    std::snprintf(name, sizeof name, "SpeedLock %d Block %d", type, block);
    b.lead_in.push_back(image::Piece::group_start(name));
    if (noisy_block1(s, in.index)) {
        b.lead_in.push_back(image::Piece::pure_tone(3000, trunc_i32(ms * 3500.0035000035 / 3000)));
        b.lead_in.push_back(image::Piece::pause(300));
    }
    if (type == 2) {
        append_leader(st.leader, b.lead_in);
        b.lead_in.push_back(image::Piece::pulse_sequence({kSync14Pulses.begin(), kSync14Pulses.end()}));
    } else {
        b.timings.pilot_pulse = mean_to_tstates(p.sum, p.count, c.samples_per_tstate());
        b.lead_in.push_back(image::Piece::pure_tone(b.timings.pilot_pulse, p.count));
        b.lead_in.push_back(image::Piece::pulse_sequence({st.sync_pulses.begin(), st.sync_pulses.end()}));
    }
    b.timings.pilot_count = p.count;

    if (block == 1) {
        const BitRead read = read_bits(c, refs, s, in.buffer, {.first_block = in.index == 0});
        b.data.assign(in.buffer, in.buffer + read.length);
        b.last_byte_bits = read.last_byte_bits;
        b.flag_byte = in.buffer[0];
        SpeedlockLine line{1, type, read.last_byte_bits, read.length, xor_check(in.buffer, read.length), {}};
        if (noisy_block1(s, in.index)) line.noise_seconds = ms * 0.001;
        b.line = line;
        // A read without bits is still reported and counted; nothing of it waits.
        b.waits = read.decoded;
    } else {
        read_block2(c, refs, s, in.buffer, st, b);
        b.waits = true;
    }
    finish_block(c, b);
    return b;
}

void print_heading(const DecodedBlock& b, Console& out) {
    const SpeedlockLine& l = line_of(b);
    if (l.noise_seconds) out.print(" Speedlock 3 variant 2 Simulated Noise for %1.3f seconds\n", *l.noise_seconds);
    if (l.block == 2) out.print(" Speedlock %d block 2 :\n", l.type);
}

void print_line(const DecodedBlock& b, Console& out) {
    const SpeedlockLine& l = line_of(b);
    if (l.block == 1)
        out.print(" Speedlock %d block 1                                     B%d L-%5d C%c ", l.type, l.used_bits,
                  l.length, l.check);
    else
        out.print(" Speedlock %d block 2 Total                               B%d L-%5d C%c ", l.type, l.used_bits,
                  l.length, l.check);
}

// Block 2's letter checks the exclusive-or across all its sub-blocks.
bool checks_out(const DecodedBlock& b) { return line_of(b).check == '*'; }

const BlockKind kKinds[] = {{"speedlock", "Speedlock 2 to 4", "#27ae60"}};

BlockDescription describe(const DecodedBlock& b) {
    const SpeedlockLine& l = line_of(b);
    BlockDescription d;
    d.kind = &kKinds[0];
    d.end_factor = l.block == 2 ? kSubBlockEndFactor : kBlockEndFactor;
    d.fields = {{"type", field_number(l.type)}, {"block", field_number(l.block)}};
    if (l.block == 2) d.fields.emplace_back("sub-blocks", field_number(static_cast<std::int64_t>(b.subblocks.size())));
    add_length_fields(d.fields, l.used_bits, l.block == 2 ? "total length" : "length", l.length, l.check);
    return d;
}

// Type 3's variant 2 has the stretch of noise before block 1.
const LoaderChoice kChoices[] = {{"speedlock2", "/slock2"}, {"speedlock3", "/slock3", 2}, {"speedlock4", "/slock4"}};

const Switch kSwitches[] = {
    {"/slock2", false, [](Settings& s, std::int32_t) { speedlock_settings(s).type = 2; }},
    {"/slock3", true,
     [](Settings& s, std::int32_t n) {
         speedlock_settings(s).type = 3;
         speedlock_settings(s).variant = n;
         s.min_pilot_hps = 1400;
     }},
    {"/slock4", false, [](Settings& s, std::int32_t) { speedlock_settings(s).type = 4; }},
    {"/slskip", true, [](Settings& s, std::int32_t n) { speedlock_settings(s).skip = n; }},
};

}  // namespace

extern const LoaderDescriptor speedlock_loader;
const LoaderDescriptor speedlock_loader{
    .name = "speedlock",
    .switches = kSwitches,
    .choices = kChoices,
    .prepare = default_speedlock_skip,
    .serves = serves,
    .make_state = new_state<SpeedlockState>,
    .find_pilot = find_pilot,
    .after_pilot = after_pilot,
    .replaces_gap = replaces_gap,
    .decode = decode,
    .write_image = write_speedlock_data,
    .print_heading = print_heading,
    .print_line = print_line,
    .checks_out = checks_out,
    .describe = describe,
    .kinds = kKinds,
};

}  // namespace kvr
