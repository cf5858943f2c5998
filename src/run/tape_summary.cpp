#include "run/tape_summary.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "loaders/loader.hpp"
#include "recovery/retry.hpp"

namespace kvr {

namespace {

// A fragment this short that no header announced is what a burst of noise reads as a block.
constexpr std::size_t kMostNoiseBytes = 2;

const std::string* field(const BlockFields& fields, const char* name) {
    for (const auto& [key, value] : fields)
        if (key == name) return &value;
    return nullptr;
}

// The type and the name of a header block, from its "name" field ("P:GAME      "); none
// for any other block (its name field is dashes, or it has none).
void header_of(const BlockFields& fields, std::string& type, std::string& name) {
    static const std::pair<char, const char*> kTypes[] = {
        {'P', "program"}, {'N', "number array"}, {'C', "character array"}, {'B', "bytes"}};
    const std::string* text = field(fields, "name");
    if (text == nullptr || text->size() < 2 || (*text)[1] != ':') return;
    for (const auto& [letter, word] : kTypes)
        if ((*text)[0] == letter) type = word;
    if (type.empty()) return;
    name = text->substr(2);
    name.erase(name.find_last_not_of(' ') + 1);
}

// The length its report line shows (a block of sub-blocks counts them all), else its bytes.
std::int32_t line_length(const BlockFields& fields, const DecodedBlock& b) {
    for (const char* name : {"length", "total length"})
        if (const std::string* v = field(fields, name)) return static_cast<std::int32_t>(std::strtol(v->c_str(), nullptr, 10));
    return static_cast<std::int32_t>(b.data.size());
}

std::string length_note(const BlockEntry& e) {
    char text[160];
    std::snprintf(text, sizeof text, " Length: expected %d bytes (header %s), read %d", e.announced,
                  e.announced_by.empty() ? "before it" : e.announced_by.c_str(), e.length);
    return text;
}

}  // namespace

void TapeSummary::recording(std::int32_t rate, std::int32_t count, bool cut_short) {
    rate_ = rate;
    count_ = count;
    totals_.cut_short = cut_short;
}

double TapeSummary::seconds(std::int64_t samples) const {
    return rate_ > 0 ? static_cast<double>(samples) / rate_ : 0.0;
}

BlockEntry TapeSummary::entry_for(const FoundBlock& found, std::int32_t number) const {
    const DecodedBlock& b = found.block;
    BlockDescription d = b.loader->describe(b);
    BlockEntry e;
    e.number = number;
    e.start = seconds(found.seen.pilot_start);
    e.end = seconds(b.end);
    e.loader = b.loader->name;
    e.kind = d.kind != nullptr ? d.kind->name : "";
    header_of(d.fields, e.header_type, e.header_name);
    e.flag = b.flag_byte;
    e.length = line_length(d.fields, b);
    e.used_bits = b.last_byte_bits;
    e.checks_out = block_checks_out(b);
    e.retried = found.seen.retry.retried;
    if (found.seen.retry.recovered_with != nullptr) e.recovered_with = found.seen.retry.recovered_with;
    e.confidence = found.seen.weakest_bit;
    e.fields = std::move(d.fields);
    return e;
}

void TapeSummary::mend(FoundTape& tape) {
    blocks_.clear();
    const bool cut_short = totals_.cut_short;
    totals_ = {};
    totals_.cut_short = cut_short;
    totals_.seconds = seconds(count_);
    // A header's announcement holds for the next block that is not noise.
    std::int32_t announced = -1;
    std::string announced_by;
    std::int64_t covered = 0;  // the end of the stretch the blocks so far span
    std::optional<std::size_t> before;  // the entry of the block before
    for (std::size_t i = 0; i < tape.size(); ++i) {
        FoundPilot& pilot = tape[i];
        // The pause of the block before ends at this pilot, as the writer measures it.
        if (before && !blocks_[*before].pause)
            blocks_[*before].pause = pilot.gap_replaced ? 0.0 : std::max(0.0, seconds(pilot.start) - blocks_[*before].end);
        if (!pilot.block || !pilot.block->block.counted) continue;
        FoundBlock& found = *pilot.block;
        const DecodedBlock& b = found.block;
        BlockEntry e = entry_for(found, static_cast<std::int32_t>(blocks_.size()) + 1);
        const bool held = b.loader->held_to_announced_length && announced >= 0;
        const bool noise = b.data.size() <= kMostNoiseBytes && b.last_byte_bits != 0 &&
                           !(held && e.length == announced);
        if (noise) {
            e.verdict = BlockVerdict::noise;
        } else {
            if (held) e.announced = announced, e.announced_by = announced_by;
            const bool whole = e.announced < 0 || e.length == e.announced;
            e.verdict = e.checks_out && whole ? BlockVerdict::good : BlockVerdict::bad;
            if (!whole) found.notes.push_back(length_note(e));
            announced = kvr::announced_by(b);
            announced_by = announced >= 0 ? e.header_name : "";
        }
        if (!e.recovered_with.empty()) found.notes.push_back(" Retry: recovered with " + e.recovered_with);
        else if (e.retried && e.verdict == BlockVerdict::bad) found.notes.push_back(" Retry: no other reading checks out");

        ++totals_.blocks;
        totals_.good += e.verdict == BlockVerdict::good;
        totals_.bad += e.verdict == BlockVerdict::bad;
        totals_.noise += e.verdict == BlockVerdict::noise;
        totals_.recovered += e.verdict != BlockVerdict::noise && !e.recovered_with.empty();
        const std::int64_t from = std::max<std::int64_t>(covered, found.seen.pilot_start);
        if (b.end > from) totals_.seconds_in_blocks += seconds(b.end - from);
        covered = std::max<std::int64_t>(covered, b.end);
        before = blocks_.size();
        blocks_.push_back(std::move(e));
    }
}

TapeTotals& TapeTotals::operator+=(const TapeTotals& o) {
    blocks += o.blocks, good += o.good, recovered += o.recovered, bad += o.bad, noise += o.noise;
    seconds += o.seconds, seconds_in_blocks += o.seconds_in_blocks;
    cut_short = cut_short || o.cut_short;
    return *this;
}

std::string summary_line(const TapeTotals& t) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "Blocks: %d, good checksums: %d, recovered by a retry: %d, still bad: %d, probable noise: %d", t.blocks,
                  t.good, t.recovered, t.bad, t.noise);
    return text;
}

}  // namespace kvr
