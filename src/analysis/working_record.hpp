// The analysis state of one conversion: the cursor, the pilot and bit measurements and
// the timing record of the decoded block that waits to be written.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/arithmetic.hpp"
#include "formats/kvr_image.hpp"

namespace kvr {

struct Context;

inline constexpr std::int32_t kBlockDataSize = 131072;
inline constexpr std::int32_t kLeaderSegmentsSize = 56;

using image::kRomBit0;
using image::kRomBit1;
using image::kRomDataPilots;
using image::kRomHeaderPilots;
using image::kRomPilot;
using image::kRomSync1;
using image::kRomSync2;

struct WorkingRecord {
    // Cursor and progress.
    std::int32_t sample_pos = 0;
    std::int32_t hp_start = 0;
    std::int32_t cur_hp = 0;
    std::int32_t prev_hp = 0;
    std::int32_t block_count = 0;
    bool block_found = false;
    bool no_block_pending = false;
    std::int32_t last_block_end = 0;
    double samples_per_tstate = 0.0;

    // Pilot measurement.
    std::int32_t pilot_start = 0;
    std::int32_t pilot_count = 0;
    double pilot_sum = 0.0;
    std::int32_t tone1_count = 0;
    double tone1_sum = 0.0;
    std::array<std::int32_t, kLeaderSegmentsSize> leader_segments{};
    std::int32_t segment_count = 0;
    std::int32_t leader_pulse = 0;
    std::int32_t click_hps = 0;
    std::array<std::int32_t, 2> click_pulses{};

    // Bit measurement.
    std::int32_t bit0_ref = 0;
    std::int32_t bit1_ref = 0;
    std::int32_t middle_hp = 0;
    std::int32_t pair_mean = 0;
    double zero_sum = 0.0;
    double one_sum = 0.0;
    std::int32_t zero_count = 0;
    std::int32_t one_count = 0;
    std::int32_t last_bit = 0;
    bool six_bit_mode = false;

    // Timing record of the decoded block.
    std::int32_t pilot_pulse = 0;
    std::int32_t sync1_pulse = 0;
    std::int32_t sync2_pulse = 0;
    std::int32_t bit0_pulse = 0;
    std::int32_t bit1_pulse = 0;
    std::int32_t pending_pilot_count = 0;
    std::int32_t last_byte_bits = 0;
    float pause_seconds = 0.0f;
    std::vector<std::uint8_t> block_data = std::vector<std::uint8_t>(kBlockDataSize);
    std::int32_t block_length = 0;
    std::int32_t approx_delta = 0;

    // The first tone of a two-tone pilot, kept with the waiting block as pilot_count is
    // kept in pending_pilot_count, so that each group carries its own first tone.
    std::int32_t pending_tone1_count = 0;
    double pending_tone1_sum = 0.0;
};

// Half-period measurement.
std::int32_t measure_hp(Context& cx);
void skip_hps(Context& cx, int n);
std::int32_t percent_diff(std::int32_t a, std::int32_t b);
std::int32_t to_tstates(Context& cx, double samples);
std::int32_t mean_to_tstates(Context& cx, double sum, std::int32_t count);
std::int32_t tstates_to_samples(Context& cx, double tstates);
char xor_check(Context& cx, std::int32_t n);
std::int32_t mean_down(std::int32_t a, std::int32_t b);
std::int32_t mean_up(std::int32_t a, std::int32_t b);
std::int32_t middle_of(std::int32_t bit0_ref, std::int32_t bit1_ref);

// Pilot and sync detection.
void standard_pilot_detector(Context& cx);
void two_tone_pilot_detector(Context& cx);
void speedlock_leader_detector(Context& cx);
void sync_pair_measurement(Context& cx);
void first_sync_measurement(Context& cx);

// Bit decoding.
void bit_reference_measurement(Context& cx);
void bit_decoder(Context& cx);
// The next two HPs into prev_hp and cur_hp; false when the recording ends inside them.
bool measure_pair(Context& cx);
// A pair too short for a bit is a glitch, merged with the two HPs after it (false when
// the recording ends inside those).
bool is_glitch(const WorkingRecord& w);
bool merge_glitch(Context& cx);
// A pair with its glitch merged; false when the recording ends inside it.
bool read_bit_pair(Context& cx);
// An empty block: no bytes, no bits, no sums.
void start_block(Context& cx);
void finish_partial_byte(Context& cx, std::int32_t bit_count);
void account_bit(Context& cx, int bit, std::int32_t pair_sum);
int decide_bit(Context& cx, std::int32_t pair_sum);
bool store_bit(Context& cx, int bit);

// Standard block decoder.
void standard_block_decoder(Context& cx);
void header_name_text(Context& cx, char text[13]);
bool is_standard_timing(Context& cx, std::int32_t pilot_count);
void approximate_bits(Context& cx);
// The block's bit timings from the sums; a value that never occurred follows from the other 1 : 2.
void measure_bit_pulses(Context& cx);

// The conversion driver.
// Converts the whole sample buffer into the output; false when the output could not be
// created or written (the error has been reported).
bool run_conversion(Context& cx);

}  // namespace kvr
