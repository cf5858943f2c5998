// The recording seen half-period by half-period. The cursor keeps the position and the
// last two HPs, which every analyser and decoder reads and moves on in turn.
#pragma once

#include <cstdint>

namespace kvr {

class HpCursor {
public:
    HpCursor(const std::int8_t* samples, std::int32_t count, std::int32_t sample_rate);

    // The length in samples of the HP at pos, 0 at the end of the recording; pos moves past it.
    std::int32_t measure();
    // Measures n HPs. Afterwards cur holds the last of them, except after a skip of one,
    // which leaves cur as it was.
    void skip(int n);

    bool at_end() const { return pos >= count_; }
    std::int32_t count() const { return count_; }
    std::int32_t sample_rate() const { return rate_; }
    double samples_per_tstate() const { return samples_per_tstate_; }

    std::int32_t pos = 0;       // the next sample to measure
    std::int32_t cur = 0;       // the most recent HP, or the reference HP of a tone
    std::int32_t prev = 0;      // the HP before it
    std::int32_t hp_start = 0;  // where the most recent measurement began

private:
    const std::int8_t* data_;
    std::int32_t count_;
    std::int32_t rate_;
    double samples_per_tstate_;
};

}  // namespace kvr
