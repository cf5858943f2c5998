#include "report_page/merged_facts.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

namespace kvr {

namespace {

// The recording a block came from: by its name, or a copy within it ("NAME (first copy)").
const RecordingFacts* recording_of(const FoundBlock::Source& source, const std::vector<RecordingFacts>& recordings) {
    for (const RecordingFacts& r : recordings)
        if (source.recording == r.input_name || source.recording.rfind(r.input_name + " (", 0) == 0) return &r;
    return nullptr;
}

// The block as its recording's page has it: the same place there.
const BlockFacts* same_block(const BlockFacts& b, const RecordingFacts& r) {
    for (const BlockFacts& f : r.blocks)
        if (f.pilot_start == b.pilot_start && f.end == b.end) return &f;
    return nullptr;
}

std::int32_t samples_at(double seconds, std::int32_t rate) {
    return static_cast<std::int32_t>(std::clamp(std::round(seconds * rate), 0.0, static_cast<double>(INT32_MAX)));
}

// Moves the block to `start` seconds on a timeline of `rate`, keeping its own lengths; returns
// where it ends. Where it went wrong moves with it, and its waveform as well where the rates agree.
double lay_out(BlockFacts& b, double start, std::int32_t own_rate, std::int32_t rate) {
    const double scale = own_rate > 0 ? 1.0 / own_rate : 0.0;
    const auto at = [&](std::int64_t sample) { return samples_at(start + static_cast<double>(sample - b.pilot_start) * scale, rate); };
    if (b.suspect) {
        SuspectBit& s = *b.suspect;
        if (own_rate == rate && s.wave.count > 0) s.wave.first = at(s.wave.first);
        else s.wave = WaveWindow{};
        s.start = at(s.start), s.end = at(s.end);
    }
    const double end = start + static_cast<double>(b.end - b.pilot_start) * scale;
    b.data_start = at(b.data_start);
    b.end = at(b.end);
    b.pilot_start = samples_at(start, rate);
    return end;
}

std::string summary_of(const std::vector<BlockFacts>& blocks, std::size_t recordings) {
    int good = 0;
    for (const BlockFacts& b : blocks) good += b.checks_out;
    const int n = static_cast<int>(blocks.size());
    char text[160];
    std::snprintf(text, sizeof text, "Merged of %zu recordings: %d blocks, good checksums: %d, still bad: %d", recordings, n,
                  good, n - good);
    return text;
}

}  // namespace

RecordingFacts merged_facts(std::vector<BlockFacts> merged, const std::vector<RecordingFacts>& recordings) {
    RecordingFacts f;
    for (const RecordingFacts& r : recordings) f.merged_from.push_back(r.input_name);
    f.rate = recordings.empty() ? 44100 : std::max(1, recordings.front().rate);
    f.levels_from =
        "The blocks are laid out as the merged image plays: each where it would play, with the pause the merge "
        "gave it. Its half-periods, and where it went wrong, are those of the recording it was taken from.";
    f.summary = merged.empty() ? "" : summary_of(merged, recordings.size());
    // The merged tape begins where its first block does in its own recording.
    double t = merged.empty() || !merged.front().source ? 0.0 : merged.front().source->seconds;
    for (std::size_t i = 0; i < merged.size(); ++i) {
        BlockFacts& b = merged[i];
        const RecordingFacts* r = b.source ? recording_of(*b.source, recordings) : nullptr;
        if (const BlockFacts* own = r != nullptr ? same_block(b, *r) : nullptr) {
            b.histogram = own->histogram;
            b.thresholds = own->thresholds;
            // A reading mended by the vote no longer went wrong where its recording's did.
            if (!b.checks_out) b.suspect = own->suspect;
        }
        t = lay_out(b, t, r != nullptr ? r->rate : f.rate, f.rate) + static_cast<double>(b.pause.value_or(0.0f));
    }
    f.samples = samples_at(t, f.rate);
    f.blocks = std::move(merged);
    return f;
}

}  // namespace kvr
