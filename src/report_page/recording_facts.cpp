#include "report_page/recording_facts.hpp"

#include <cstdio>

#include "report_page/block_details.hpp"
#include "report_page/recording_overview.hpp"

namespace kvr {

namespace {

// Buckets of the envelope across the page's width; waveforms for this many bad blocks.
constexpr std::size_t kEnvelopeBuckets = 1500;
constexpr int kMostWaves = 100;

std::string levels_text(LevelsFrom from) {
    if (from == LevelsFrom::pulses) return "The levels are the pulses of the CSW file, as read; no front end ran.";
    if (from == LevelsFrom::classic)
        return "The classic levels (--exact): the sign of each sample, the channels mixed; no front end ran.";
    const FrontEndSettings d;
    char text[400];
    std::snprintf(text, sizeof text,
                  "The front end made the levels: each channel judged on its own (one in opposite phase turned, "
                  "a dead or noise-only one left out), the baseline over %.1f ms removed, hiss smoothed, and each "
                  "level decided with a hysteresis of %.2f of the local amplitude, the edge placed where the "
                  "signal crosses its baseline.",
                  d.baseline_ms, d.hysteresis);
    return text;
}

std::string summary_of(const std::vector<BlockFacts>& blocks, LevelsFrom from) {
    int good = 0, recovered = 0;
    for (const BlockFacts& b : blocks) good += b.checks_out, recovered += !b.recovered_with.empty();
    const int n = static_cast<int>(blocks.size());
    char text[160];
    if (from == LevelsFrom::classic)
        std::snprintf(text, sizeof text, "Blocks: %d, good checksums: %d, bad: %d", n, good, n - good);
    else
        std::snprintf(text, sizeof text, "Blocks: %d, good checksums: %d, recovered by a retry: %d, still bad: %d", n,
                      good, recovered, n - good);
    return text;
}

}  // namespace

void complete_recording_facts(RecordingFacts& facts, const FrameSource& frames, const Recording& levels,
                              std::int32_t rate, const Settings& s, LevelsFrom from, const FrontEndSummary* front_end) {
    facts.rate = rate;
    facts.samples = levels.count;
    facts.levels_from = levels_text(from);
    facts.summary = facts.blocks.empty() ? "" : summary_of(facts.blocks, from);
    facts.channels.assign(frames.channels(), {-1.0, -1.0});
    if (front_end != nullptr && front_end->channels == static_cast<int>(frames.channels())) {
        for (std::size_t c = 0; c < facts.channels.size(); ++c)
            facts.channels[c] = {front_end->share_used[c], front_end->share_inverted[c]};
    }
    measure_envelope(frames, rate, kEnvelopeBuckets, facts);
    facts.unrecognised = unrecognised_stretches(levels, rate, facts.blocks);
    int waves = 0;
    for (BlockFacts& b : facts.blocks) {
        add_block_details(b, frames, levels, rate, s, waves < kMostWaves);
        waves += b.suspect.has_value();
    }
}

}  // namespace kvr
