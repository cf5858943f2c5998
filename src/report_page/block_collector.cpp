#include "report_page/block_collector.hpp"

#include <climits>
#include <cstdio>

#include "core/console.hpp"
#include "loaders/loader.hpp"
#include "loaders/report.hpp"
#include "recovery/retry.hpp"
#include "report_page/weak_bits.hpp"

namespace kvr {

namespace {

std::string number(std::int64_t value) { return field_number(value); }

std::string pulses_text(const std::vector<std::uint16_t>& pulses) {
    std::string s;
    for (std::size_t i = 0; i < pulses.size(); ++i) {
        if (i != 0) s += ' ';
        s += number(pulses[i]);
    }
    return s;
}

// The lengths the report gives, to be found again in the block's histogram.
void add_timings(const DecodedBlock& b, BlockFacts& f) {
    const BlockTimings& t = b.timings;
    auto mark = [&f](const char* label, std::int64_t tstates) {
        if (tstates > 0 && tstates <= INT32_MAX) f.timings.push_back({label, static_cast<double>(tstates)});
    };
    if (b.first_tone.count > 0) mark("first tone", b.first_tone.pulse);
    if (t.pilot_pulse > 0) {
        mark("pilot", t.pilot_pulse);
    } else {
        // A leader of clicked segments: the length of its tones.
        for (const image::Piece& p : b.lead_in)
            if (p.kind == image::Piece::Kind::pure_tone) {
                mark("leader", p.pulse);
                break;
            }
    }
    mark("sync 1", t.sync1);
    mark("sync 2", t.sync2);
    // A bit value that never occurred in the block has the length that follows from the other.
    std::int64_t ones = 0, bits = 0;
    for (std::size_t i = 0; i < b.data.size(); ++i) {
        const int used = i + 1 == b.data.size() ? b.last_byte_bits : 8;
        for (int k = 0; k < used; ++k) ones += (b.data[i] >> (7 - k)) & 1;
        bits += used;
    }
    mark(bits > ones ? "bit 0" : "bit 0 (half bit 1)", t.bit0);
    mark(ones > 0 ? "bit 1" : "bit 1 (twice bit 0)", t.bit1);
}

// Some loaders learn the bit lengths from the first bits of each block (unless the ROM's
// are asked for), others read against fixed ones.
void add_bit_judging(const DecodedBlock& b, const BlockDescription& d, BlockFacts& f) {
    f.learns_bit_lengths = d.learns_bit_lengths;
    f.end_factor = d.end_factor;
    if (!f.learns_bit_lengths) {
        f.fixed_bit0 = b.timings.bit0;
        f.fixed_bit1 = b.timings.bit1;
    }
    f.read_in_subblocks = !b.subblocks.empty();
    std::int32_t bits = 0;
    for (std::size_t i = 0; i + 1 < b.subblocks.size(); ++i) {
        bits += b.subblocks[i].length * 8;
        f.trailer_after_bits.push_back(bits);
    }
}

void add_parts(const DecodedBlock& b, BlockFacts& f) {
    using Kind = image::Piece::Kind;
    for (const image::Piece& p : b.lead_in) {
        switch (p.kind) {
        case Kind::group_start: f.parts.push_back({"group", p.name}); break;
        case Kind::pure_tone: f.parts.push_back({"tone", number(p.count) + " HPs of " + number(p.pulse) + " T"}); break;
        case Kind::pulse_sequence: f.parts.push_back({"pulses", pulses_text(p.pulses)}); break;
        case Kind::pause: f.parts.push_back({"pause", number(p.count) + " ms"}); break;
        }
    }
    if (b.first_tone.count > 0)
        f.parts.push_back({"first tone", number(b.first_tone.count) + " HPs of " + number(b.first_tone.pulse) + " T"});
    for (std::size_t i = 0; i < b.subblocks.size(); ++i) {
        const SubBlock& s = b.subblocks[i];
        std::string detail = number(s.length) + " bytes, " + number(s.used_bits) + " bits in the last";
        if (i + 1 < b.subblocks.size()) detail += ", then the trailer of " + number(image::kTrailerLength) + " pulses";
        f.parts.push_back({"sub-block " + number(s.number), detail});
    }
}

}  // namespace

void BlockCollector::block(const FoundBlock& found) {
    const DecodedBlock& b = found.block;
    const BlockSeen& seen = found.seen;
    BlockFacts f;
    f.index = b.index;
    f.loader = b.loader != nullptr ? std::string(b.loader->name) : "";
    BlockDescription described = b.loader->describe(b);
    f.kind = described.kind->name;
    f.pilot_start = seen.pilot_start;
    f.data_start = seen.data_start;
    f.end = seen.end;
    f.checks_out = block_checks_out(b);
    f.retried = seen.retry.retried;
    if (seen.retry.recovered_with != nullptr) f.recovered_with = seen.retry.recovered_with;

    // The lines exactly as the report prints them.
    Console console;
    Report report(console);
    report.before(b);
    for (const SubBlock& s : b.subblocks) report.subblock(s);
    const std::size_t own_line = console.text().size();
    report.block(b);
    const std::string& all = console.text();
    for (std::size_t at = 0; at < own_line;) {
        const std::size_t nl = all.find('\n', at);
        if (nl == std::string::npos) break;
        f.notes.push_back(all.substr(at, nl - at));
        at = nl + 1;
    }
    f.line = all.substr(own_line);

    add_parts(b, f);
    add_timings(b, f);
    add_bit_judging(b, described, f);
    f.fields = std::move(described.fields);
    f.weakest = weakest_bits(found);
    f.source = found.source;
    blocks_.push_back(std::move(f));
}

void BlockCollector::pause(float seconds) {
    if (!blocks_.empty()) blocks_.back().pause = seconds;
}

void BlockCollector::kept(const KeptStretch& s) { kept_.push_back({s.from, s.to, s.pulses}); }

}  // namespace kvr
