// What the Speedlock loaders share: the leader of clicked segments (types 1 and 2), the
// sync pulses of types 1 and 2, the skip count, and the writing of their data.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "loaders/loader.hpp"

namespace kvr {

// What the Speedlock switches set: the type (1 to 4; 0 for none), its variant, and the index
// of the first turbo block (0xFFFF while no skip count was given).
struct SpeedlockSettings {
    std::int32_t type = 0;
    std::int32_t variant = 0;
    std::int32_t skip = 0xFFFF;
};
inline SpeedlockSettings& speedlock_settings(Settings& s) { return s.loaders.get<SpeedlockSettings>(); }
inline const SpeedlockSettings& speedlock_settings(const Settings& s) { return s.loaders.get<SpeedlockSettings>(); }

inline constexpr std::int32_t kLeaderSegmentsSize = 56;

// A leader as the leader detector measures it.
struct SpeedlockLeader {
    std::array<std::int32_t, kLeaderSegmentsSize> segments{};  // the HPs of each segment
    std::int32_t segment_count = 0;
    std::int32_t pulse = 0;  // the mean leader HP, T-states
    std::int32_t click_hps = 0;
    std::array<std::int32_t, 2> click_pulses{};  // the lengths written for the click HPs
};

// Segments of 180 to 250 similar HPs, each followed by a click of two short HPs, ended by
// a long HP; at least 20 segments make a block.
PilotResult detect_speedlock_leader(HpCursor& c, const Settings& s, SpeedlockLeader& leader);

// The leader as the image keeps it: a pure tone per segment, the click pulses between them.
void append_leader(const SpeedlockLeader& leader, std::vector<image::Piece>& pieces);

// The two sync pulses and six flag pairs of a type 1 or 2 block (flags 1, 1, 1, 0, 1, 0).
inline constexpr std::array<std::uint16_t, 14> kSync14Pulses{3150, 3150, 1130, 1130, 1130, 1130, 1130,
                                                             1130, 565,  565,  1130, 1130, 565,  565};

// The index of the first Speedlock block when "/slskip" was not given.
void default_speedlock_skip(Settings& s);

// The data of a Speedlock block closes the group its decoder opened.
void write_speedlock_data(const DecodedBlock& b, float pause, const Settings& s, std::vector<std::uint8_t>& out);

}  // namespace kvr
