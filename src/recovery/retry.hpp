// Checksum-guided retries: a block whose checksum fails, or that ends before the length its
// header announced, is read again from the same place with other levels and other bit rules
// until one reading checks out. The checksum tells which of the readings is right.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <deque>
#include <string>

#include "conversion/driver.hpp"
#include "core/settings.hpp"
#include "frontend/front_end.hpp"
#include "input/readers.hpp"
#include "loaders/decoded_block.hpp"
#include "loaders/loader.hpp"
#include "recovery/classic_levels.hpp"
#include "recovery/level_splice.hpp"

namespace kvr {

// One other way of reading a block: the levels it is read from and the rules it is read by.
struct RetryVariant {
    const char* name;
    bool classic_levels;              // the sign of the mixed samples, as kelvarin reads them
    FrontEndSettings front_end;       // otherwise the front end with these settings (the
                                      // defaults: the levels the conversion reads)
    void (*rules)(Settings& settings);  // bit rules to change, or nullptr
};

// Every variant, in the order they are tried.
const std::vector<RetryVariant>& retry_variants();

struct RetryCounts {
    std::int32_t blocks = 0, good = 0, recovered = 0;
};

class ChecksumRetry : public BlockRetry {
public:
    // `frames` are the recording's frames for the front end (for CSW pulses, their levels);
    // `levels` the levels the conversion reads; `classic` the recording as kelvarin reads it.
    // `weak` are the stretches where the front end found the signal far weaker than around
    // them, in order.
    ChecksumRetry(const FrameSource& frames, const Recording& levels, const ClassicLevels& classic,
                  std::vector<FrameSpan> weak, const Settings& settings);

    std::optional<BetterReading> improve(const FirstReading& first) override;
    RetryOutcome last_outcome() const override { return outcome_; }
    const RetryCounts& counts() const { return counts_; }

private:
    // The stretch a block is read again from, and its first reading.
    struct Span {
        const FirstReading& first;
        std::int64_t from, to;
    };
    // Another reading of the block, with the loader's state after it.
    using Reading = BetterReading;

    bool needs_retry(const DecodedBlock& block) const;
    bool ended_early(const DecodedBlock& block) const;
    std::int64_t still_to_come(const DecodedBlock& block) const;
    std::int64_t reach_of(const DecodedBlock& block, std::int64_t span) const;
    std::optional<Reading> mend(const Span& w);
    std::vector<FrameSpan> weak_within(const Span& w) const;
    // A reading mended by one way that checks out, the levels it read, how many weak
    // stretches were mended and how many places where a reading stopped.
    struct Mended {
        Recording levels;
        Reading reading;
        int weak, rounds;
    };
    // What one way of mending gave: a reading that checks out, or none; `stuck` when the
    // block, mended where its reading stopped, stopped at that very place again.
    struct MendOutcome {
        std::optional<Mended> mended;
        bool stuck = false;
    };
    // Mends the weak stretches `spots`, then where the block stopped (`stop`, or -1 when it
    // did not stop short). Stops early, with nothing, once `given_up` is set (another way
    // has mended the block).
    MendOutcome mend_with(const RetryVariant& v, const Span& w, const std::vector<FrameSpan>& spots, std::int32_t stop,
                          const std::atomic<bool>& given_up) const;
    LevelPatch remade(const RetryVariant& v, const Span& w, std::int32_t a, std::int32_t b, double context_seconds) const;
    std::optional<Reading> read_whole_again(const Span& w);
    // The levels of samples [from, to) for a way of reading; `window` holds their frames.
    Recording levels_for(const RetryVariant& v, const FrameSource& window, std::int64_t from, std::int64_t to) const;
    std::optional<Reading> read_again(const Recording& levels, const RetryVariant& v, const Span& w) const;
    // A reading that checks out and is as long as its header said.
    bool settles(const DecodedBlock& again) const;
    void adopt(const char* name);
    void remember(const DecodedBlock& block);

    const FrameSource& frames_;
    const Recording& levels_;
    const ClassicLevels& classic_;
    std::vector<FrameSpan> weak_;
    std::int32_t count_;
    std::int32_t rate_;
    const Settings& settings_;
    RetryCounts counts_;
    RetryOutcome outcome_;
    std::deque<std::string> recovered_with_;  // the names given out, kept until the tape is written
    std::int32_t expected_length_ = -1;  // announced by the header just read, or -1
};

// True when the block's own check holds: its checksum, or whatever check its loader's
// scheme has.
bool block_checks_out(const DecodedBlock& block);

// True for what a burst of noise or a reading gone wrong makes of a block far more often than
// a tape holds it: a byte or two, a last byte cut short, or nothing but zero bytes (whose
// exclusive-or checks out whatever their number).
bool looks_like_noise(const DecodedBlock& block);

// True for a pilot tone read on as data: each of its half-periods as long as a 1 bit's, so
// bytes of all 1s (an even number of which checks out), a last one or two aside. Such a block
// checks out, but a reading of a real block over it takes its place.
bool pilot_read_as_bits(const DecodedBlock& block);

}  // namespace kvr
