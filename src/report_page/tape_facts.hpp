// What kvrtool report's page shows of a recording and its blocks, gathered during the
// conversion and after it, as plain data for the page writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "conversion/found_tape.hpp"

namespace kvr {

// The half-periods of one block by length.
struct HpHistogram {
    double bin_tstates = 0.0;           // the width of one bin; bin k starts at k * bin_tstates
    std::vector<std::int32_t> counts;
    std::int32_t longer = 0;            // HPs beyond the last bin
    std::vector<double> peaks;          // the centre of each cluster of lengths, T-states
};

// A length drawn on the histogram, T-states.
struct Mark {
    std::string label;
    double tstates = 0.0;
};

// A stretch of the recording as the page draws it: every channel as recorded, and the
// levels the analysis read with their edges.
struct WaveWindow {
    std::int64_t first = 0;  // the first sample
    std::int64_t count = 0;  // samples covered
    std::int32_t step = 1;   // samples per point; above 1 each point is a low and a high
    std::vector<std::vector<float>> low, high;  // per channel and point, full scale 1
    int first_level = 0;                        // the level at `first`: -1 low, +1 high
    std::vector<std::int32_t> edges;            // samples after `first` where the level changes
};

// The first bit pair of a block that fits neither bit length.
struct SuspectBit {
    bool found = false;         // false: none before the block ended; the window shows its end
    std::int32_t bit = 0;       // counted from the first bit after the pilot's sync
    std::int32_t start = 0;     // its first sample
    std::int32_t end = 0;       // after its second HP
    std::int32_t first_hp = 0;  // T-states
    std::int32_t second_hp = 0;
    std::string why;
    WaveWindow wave;
};

// A part of a loader's block before its data: a tone, pulses, a pause, the group's name.
struct BlockPart {
    std::string what;
    std::string detail;
};

// One of a block's least certain bits.
struct WeakBit {
    std::int32_t bit = 0;     // counted from the block's first data bit
    bool value = false;       // as the reading decided it
    float confidence = 0.0f;  // the log-likelihood ratio of that decision, never negative
    bool changed = false;     // the mender changed it to make the checksum come out
    bool differs = false;     // the block's own bytes (in the image) hold the other value
};

struct WeakBits {
    // The bits are of the demodulator's reading that fails, kept beside a bad block, not of
    // the bytes the image holds.
    bool of_failing_reading = false;
    std::vector<WeakBit> bits;  // least certain first; empty where no confidences were had
};

struct BlockFacts {
    std::int32_t index = 0;
    std::string loader;  // the loader that read it
    std::string kind;    // the kind its loader gives it: its colour on the page
    std::int32_t pilot_start = 0, data_start = 0, end = 0;  // samples
    std::string line;                // its report line as printed, without the pause
    std::vector<std::string> notes;  // the report's other lines for it (headings, sub-blocks)
    std::optional<float> pause;      // seconds, as its line ends
    bool checks_out = false;
    bool retried = false;
    std::string recovered_with;  // empty when no other reading replaced the first
    std::vector<std::pair<std::string, std::string>> fields;  // the report line's fields, by name
    std::vector<BlockPart> parts;

    // How its decoder judged bits: against lengths learnt from the first bits, or fixed
    // ones (T-states); and after how many bits a trailer lies on tape (sub-blocks).
    bool learns_bit_lengths = false;
    std::int32_t fixed_bit0 = 0, fixed_bit1 = 0;
    std::vector<std::int32_t> trailer_after_bits;
    bool read_in_subblocks = false;
    double end_factor = 0.0;  // it ends at an HP this many times the 1 length

    HpHistogram histogram;
    std::vector<Mark> timings;     // what the report says the block's lengths are
    std::vector<Mark> thresholds;  // where the decoder drew its lines
    std::optional<SuspectBit> suspect;
    WeakBits weakest;

    // On the page of a tape merged of several recordings: where the block was taken from.
    std::optional<FoundBlock::Source> source;
};

// A stretch between blocks where the levels change as a signal's would, yet no block was found.
struct Stretch {
    std::int64_t start = 0, end = 0;  // samples
};

// A stretch of signal no block was read from, kept in the image as its pulses.
struct KeptFacts {
    std::int64_t start = 0, end = 0;  // samples
    std::int64_t pulses = 0;
};

// The amplitude of one channel over the whole recording, bucket by bucket.
struct ChannelEnvelope {
    std::vector<float> high, low;  // the largest and smallest amplitude of the short windows in a bucket
    std::vector<float> baseline;   // the mean of their midranges: DC offset, hum and droop
};

struct RecordingFacts {
    std::string input_name;
    std::int32_t rate = 0;
    std::int64_t samples = 0;
    std::string levels_from;  // how the levels the analysis read were made
    struct Channel {
        double used = 0.0, inverted = 0.0;  // the part of the recording in which the front end did so
    };
    std::vector<Channel> channels;
    double bucket_seconds = 0.0;
    std::vector<ChannelEnvelope> envelope;
    std::vector<Stretch> unrecognised;
    std::vector<BlockFacts> blocks;
    std::vector<KeptFacts> kept;
    std::string summary;  // the conversion's closing line, when it prints one
    // A merged tape's page: the recordings it was merged from. Then the blocks are laid out
    // as the merged image plays, and the recording-wide parts above are empty.
    std::vector<std::string> merged_from;
};

}  // namespace kvr
