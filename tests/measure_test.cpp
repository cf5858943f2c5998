// The arithmetic that decides which lengths count as equal.
#include <gtest/gtest.h>

#include "support.hpp"

namespace kvr::test {
namespace {

TEST(Measure, HalfPeriods) {
    auto cx = fresh_context();
    cx->samples.sample_data = {-128, -128, 0x10, 0x10, 0x10, -128};
    EXPECT_EQ(measure_hp(*cx), 2);
    EXPECT_EQ(cx->work.hp_start, 0);
    EXPECT_EQ(cx->work.sample_pos, 2);
    EXPECT_EQ(measure_hp(*cx), 3);
    EXPECT_EQ(measure_hp(*cx), 1);  // the last HP ends at the end of the buffer
    EXPECT_EQ(measure_hp(*cx), 0);
    EXPECT_EQ(cx->work.sample_pos, 6);
}

TEST(Measure, HalfPeriodsOfEveryLength) {
    std::vector<std::int32_t> hps;
    for (int n = 1; n <= 40; ++n) hps.push_back(n);
    for (int n = 40; n >= 1; --n) hps.push_back(n * 13 % 41 + 1);
    auto cx = fresh_context();
    cx->samples.sample_data = samples_from_hps(hps);
    for (std::int32_t n : hps) ASSERT_EQ(measure_hp(*cx), n);
    EXPECT_EQ(measure_hp(*cx), 0);
}

TEST(Measure, PercentDiff) {
    const struct {
        std::int32_t a, b, pct;
    } cases[] = {{100, 80, 19},   {80, 100, 19},  {100, 100, 0},   {0, 0, 0},     {0, 7, 99},
                 {2168, 2000, 7}, {1000, 646, 34}, {1000, 640, 35}, {1000, 635, 36}, {1000, 1000000, 99},
                 {INT32_MAX, 0, 99}, {-5, 0, INT32_MAX}, {INT32_MIN, INT32_MAX, 199}};
    for (const auto& c : cases) EXPECT_EQ(percent_diff(c.a, c.b), c.pct) << c.a << " " << c.b;
}

TEST(Measure, ConversionsAndMeans) {
    auto cx = fresh_context();
    cx->work.samples_per_tstate = 44100 * 2.857142857142857e-7;
    EXPECT_EQ(to_tstates(*cx, 27), 2143);
    EXPECT_EQ(tstates_to_samples(*cx, 565), 7);
    EXPECT_EQ(tstates_to_samples(*cx, 1130), 14);
    EXPECT_EQ(mean_to_tstates(*cx, 100.0, 0), 0);
    EXPECT_EQ(mean_down(3, 4), 3);
    EXPECT_EQ(mean_up(3, 4), 4);
    EXPECT_EQ(middle_of(10, 20), 15);
    EXPECT_EQ(middle_of(10, 21), 15);
    EXPECT_EQ(trunc_i32(1e300), INT32_MAX);
    EXPECT_EQ(trunc_i32(-1e300), INT32_MIN);
    EXPECT_EQ(trunc_i32(0.0 / 0.0), 0);
    cx->work.samples_per_tstate = 0.0;  // no rate: nothing may overflow
    EXPECT_EQ(to_tstates(*cx, 10), INT32_MAX);
}

TEST(Measure, XorCheck) {
    auto cx = fresh_context();
    auto& d = cx->work.block_data;
    d[0] = 0x00, d[1] = 0x00;
    EXPECT_EQ(xor_check(*cx, 2), '*');
    d[1] = 0x01;
    EXPECT_EQ(xor_check(*cx, 2), '-');
    EXPECT_EQ(xor_check(*cx, 1), '*');
    EXPECT_EQ(xor_check(*cx, 0), '-');
}

}  // namespace
}  // namespace kvr::test
