// What kvrtool tells of a tape once it is read whole and mended: a verdict on every block
// (good, still bad, or a fragment of noise), the notes that follow its report line, and the
// counts behind the summary line, the JSON output and the exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "conversion/driver.hpp"
#include "loaders/loader.hpp"

namespace kvr {

enum class BlockVerdict {
    good,   // it checks out, and is as long as its header announced
    bad,    // it does not, or ends elsewhere than its header said
    noise,  // a byte or two that no header announced: noise read as a block
};

// One block as it is written, in the terms a reader of the summary wants.
struct BlockEntry {
    std::int32_t number = 0;             // 1 for the first block of the tape
    double start = 0.0, end = 0.0;       // seconds: its pilot's first sample, the end of its data
    std::optional<double> pause;         // seconds of silence after it; none for the last
    std::string loader, kind;            // the loader's name and its kind of block
    std::string header_type, header_name;  // for a header block: "program" and its name
    int flag = 0;
    std::int32_t length = 0;             // bytes, as its report line counts them
    std::int32_t used_bits = 8;
    std::int32_t announced = -1;         // the length a header announced for it, or -1
    std::string announced_by;            // the name of that header
    bool checks_out = false;
    BlockVerdict verdict = BlockVerdict::bad;
    bool retried = false;                // its first reading did not check out
    std::string recovered_with;          // the reading that replaced the first, or empty
    std::optional<float> confidence;     // its least certain bit, for a block the demodulator read
    BlockFields fields;                  // the fields of its report line
};

struct TapeTotals {
    std::int32_t blocks = 0, good = 0, recovered = 0, bad = 0, noise = 0;
    double seconds = 0.0;            // the recording's length
    double seconds_in_blocks = 0.0;  // what the blocks span of it, pilots included
    bool cut_short = false;          // the file holds less sound than its header states

    // Every block good and at least one real one, and the recording whole.
    bool sound() const { return bad == 0 && good > 0 && !cut_short; }
    // The totals of several recordings: every count added up, cut short when one was.
    TapeTotals& operator+=(const TapeTotals& other);
};

// Judges the tape as the last step before it is written (it sees it as a mender does) and
// adds the notes on its blocks.
class TapeSummary final : public TapeMender {
public:
    // The recording the tape is read from: its rate and length in samples, and whether the
    // file was cut short.
    void recording(std::int32_t rate, std::int32_t count, bool cut_short);
    void mend(FoundTape& tape) override;

    const std::vector<BlockEntry>& blocks() const { return blocks_; }
    const TapeTotals& totals() const { return totals_; }

private:
    BlockEntry entry_for(const FoundBlock& found, std::int32_t number) const;
    double seconds(std::int64_t samples) const;

    std::int32_t rate_ = 0, count_ = 0;
    std::vector<BlockEntry> blocks_;
    TapeTotals totals_;
};

// "Blocks: 4, good checksums: 3, recovered by a retry: 1, still bad: 1, probable noise: 0".
std::string summary_line(const TapeTotals& totals);

// The exit status of a conversion whose image was written but is not sound.
inline constexpr int kExitNotSound = 3;

}  // namespace kvr
