// A vote among readings of one block that lost or gained bits in other places. Noise that
// splits a long half-period in two, or a dropout read as a burst of bits, shifts every bit
// after it, so a vote bit by bit sees the readings disagree everywhere after the first slip.
// Here each reading is aligned to one of them bit by bit, allowing bits gained and lost, and
// then again to the bits they back, each weighed by how well it agrees with those. The
// readings are compared only where the alignment says they differ: at each such place the
// version the readings back most strongly is taken, and where that does not check out, the
// doubtful places are tried every way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace kvr {

struct VoteReading {
    std::span<const std::uint8_t> bytes;  // its bits: the first byte's top bit first
    std::span<const float> confidence;    // how sure it was of each bit; bits past its end as `plain`
    std::size_t bits = 0;                 // how many it holds: a part of the last byte may be all it has of it
};

// The `length` bytes the readings vote for, when they (or the one way of settling the places
// they disagree on that checks out) pass `checks`; none otherwise.
std::optional<std::vector<std::uint8_t>> aligned_vote(const std::vector<VoteReading>& readings, std::size_t length,
                                                      const std::function<bool(const std::vector<std::uint8_t>&)>& checks,
                                                      float plain);

// The `length` bytes the readings back most strongly at every place they differ, settled no
// other way; none where the readings are not of one block or do not hold that many.
std::optional<std::vector<std::uint8_t>> aligned_majority(const std::vector<VoteReading>& readings, std::size_t length,
                                                          float plain);

// The bits the readings back most strongly at every place they differ, one in each element,
// as many as they come to; none where the readings are not of one block. `length` (in bytes)
// picks the reading the others are first aligned to.
std::optional<std::vector<std::uint8_t>> backed_bits(const std::vector<VoteReading>& readings, std::size_t length, float plain);

}  // namespace kvr
