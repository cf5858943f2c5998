// The arithmetic that decides which lengths count as equal.
#include <random>

#include <gtest/gtest.h>

#include "support.hpp"

namespace kvr::test {
namespace {

TEST(Measure, HalfPeriods) {
    const Recording recording = recording_of({-128, -128, 0x10, 0x10, 0x10, -128}, 44100);
    const EdgeView view(recording);
    HpCursor c(view);
    EXPECT_EQ(c.measure(), 2);
    EXPECT_EQ(c.hp_start, 0);
    EXPECT_EQ(c.pos, 2);
    EXPECT_EQ(c.measure(), 3);
    EXPECT_EQ(c.measure(), 1);  // the last HP ends at the end of the buffer
    EXPECT_EQ(c.measure(), 0);
    EXPECT_EQ(c.pos, 6);
    c.cur = 9;
    c.pos = 0;
    c.skip(1);  // a skip of one leaves cur as it was
    EXPECT_EQ(c.cur, 9);
    c.skip(2);
    EXPECT_EQ(c.cur, 1);
    EXPECT_EQ(c.pos, 6);
}

TEST(Measure, HalfPeriodsOfEveryLength) {
    std::vector<std::int32_t> hps;
    for (int n = 1; n <= 40; ++n) hps.push_back(n);
    for (int n = 40; n >= 1; --n) hps.push_back(n * 13 % 41 + 1);
    HpTape tape(hps);
    for (std::int32_t n : hps) ASSERT_EQ(tape.cursor.measure(), n);
    EXPECT_EQ(tape.cursor.measure(), 0);
}

TEST(Measure, PercentDiff) {
    const struct {
        std::int32_t a, b, pct;
    } cases[] = {{100, 80, 19},   {80, 100, 19},  {100, 100, 0},   {0, 0, 0},     {0, 7, 99},
                 {2168, 2000, 7}, {1000, 646, 34}, {1000, 640, 35}, {1000, 635, 36}, {1000, 1000000, 99},
                 {INT32_MAX, 0, 99}, {-5, 0, INT32_MAX}, {INT32_MIN, INT32_MAX, 199}};
    for (const auto& c : cases) EXPECT_EQ(percent_diff(c.a, c.b), c.pct) << c.a << " " << c.b;
}

// The integer tests must answer as the double formula does for any lengths and limit, so
// each is checked against it: at random, on the exact boundaries where the formula's own
// rounding decides, and outside the ranges the integer test covers.
TEST(Measure, PercentLimitsDecideAsPercentDiff) {
    auto check = [](std::int32_t a, std::int32_t b, std::int32_t limit) {
        ASSERT_EQ(percent_diff_at_most(a, b, limit), percent_diff(a, b) <= limit) << a << " " << b << " " << limit;
        ASSERT_EQ(percent_diff_at_least(a, b, limit), percent_diff(a, b) >= limit) << a << " " << b << " " << limit;
    };
    std::mt19937 rng(11);
    for (int i = 0; i < 300000; ++i) {
        const std::int32_t scale = std::int32_t{1} << (rng() % 31);
        const auto a = static_cast<std::int32_t>(rng() % static_cast<std::uint32_t>(scale));
        const auto b = static_cast<std::int32_t>(rng() % static_cast<std::uint32_t>(scale));
        check(a, b, static_cast<std::int32_t>(rng() % 102));
    }
    // Where 200 (hi - lo) = (2 limit + 3) hi the percentage is exactly limit + 1.5: the
    // boundary of at_most(limit) and of at_least(limit + 1).
    for (std::int32_t limit = 0; limit <= 100; ++limit)
        for (std::int64_t hi = 200; hi < INT32_MAX; hi = hi * 3 + 200) {
            const std::int64_t lo = hi - (2 * limit + 3) * hi / 200;
            for (std::int64_t d = -2; d <= 2; ++d) {
                if (lo + d < 0) continue;
                check(static_cast<std::int32_t>(hi), static_cast<std::int32_t>(lo + d), limit);
                check(static_cast<std::int32_t>(lo + d), static_cast<std::int32_t>(hi), limit + 1);
            }
        }
    const std::int32_t odd[] = {INT32_MIN, INT32_MIN + 1, -100, -1, 0, 1, 2, 100, 101, 199, INT32_MAX - 1, INT32_MAX};
    for (std::int32_t a : odd)
        for (std::int32_t b : odd)
            for (std::int32_t limit : odd) check(a, b, limit);
}

TEST(Measure, MeansInIntegersMatchTheDoubleFormula) {
    auto check = [](std::int32_t a, std::int32_t b) {
        ASSERT_EQ(mean_down(a, b), trunc_i32((static_cast<double>(a) + b + 0.5) * 0.5)) << a << " " << b;
        ASSERT_EQ(mean_up(a, b), trunc_i32((static_cast<double>(a) + b + 1.0) * 0.5)) << a << " " << b;
    };
    std::mt19937 rng(12);
    for (int i = 0; i < 100000; ++i) check(static_cast<std::int32_t>(rng()), static_cast<std::int32_t>(rng()));
    const std::int32_t odd[] = {INT32_MIN, INT32_MIN + 1, -3, -2, -1, 0, 1, 2, 3, INT32_MAX - 1, INT32_MAX};
    for (std::int32_t a : odd)
        for (std::int32_t b : odd) check(a, b);
}

TEST(Measure, ConversionsAndMeans) {
    const double spt = samples_per_tstate(44100);
    EXPECT_EQ(spt, 44100 * 2.857142857142857e-7);
    EXPECT_EQ(to_tstates(27, spt), 2143);
    EXPECT_EQ(tstates_to_samples(565, spt), 7);
    EXPECT_EQ(tstates_to_samples(1130, spt), 14);
    EXPECT_EQ(mean_to_tstates(100.0, 0, spt), 0);
    EXPECT_EQ(mean_down(3, 4), 3);
    EXPECT_EQ(mean_up(3, 4), 4);
    EXPECT_EQ(middle_of(10, 20), 15);
    EXPECT_EQ(middle_of(10, 21), 15);
    EXPECT_EQ(trunc_i32(1e300), INT32_MAX);
    EXPECT_EQ(trunc_i32(-1e300), INT32_MIN);
    EXPECT_EQ(trunc_i32(0.0 / 0.0), 0);
    EXPECT_EQ(to_tstates(10, 0.0), INT32_MAX);  // no rate: nothing may overflow
}

TEST(Measure, XorCheck) {
    std::uint8_t d[2] = {0x00, 0x00};
    EXPECT_EQ(xor_check(d, 2), '*');
    d[1] = 0x01;
    EXPECT_EQ(xor_check(d, 2), '-');
    EXPECT_EQ(xor_check(d, 1), '*');
    EXPECT_EQ(xor_check(d, 0), '-');
}

}  // namespace
}  // namespace kvr::test
