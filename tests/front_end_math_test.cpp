// The front end's fast paths (four frames at a time, a word of frames at a time) against
// the plain loops they stand for, on signals chosen to reach every corner.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "frontend/block_math.hpp"
#include "frontend/front_end.hpp"
#include "frontend/trigger.hpp"
#include "frontend/wide_math.hpp"
#include "support.hpp"

namespace kvr {
namespace {

// A signal of runs around zero: many exact zeros, values near the thresholds, and the
// occasional value no comparison holds for.
std::vector<float> rough_signal(std::mt19937& rng, std::size_t n, bool with_nan) {
    std::vector<float> z(n);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::uniform_int_distribution<int> kind(0, 99), run(1, 20);
    for (std::size_t i = 0; i < n;) {
        const int k = kind(rng);
        float v = value(rng);
        if (k < 15) v = 0.0f;
        else if (k < 18) v = -0.0f;
        else if (k < 20 && with_nan) v = std::numeric_limits<float>::quiet_NaN();
        else if (k < 21 && with_nan) v = -std::numeric_limits<float>::infinity();
        for (int r = run(rng); r > 0 && i < n; --r) z[i++] = v * (0.9f + 0.2f * value(rng));
    }
    return z;
}

// Thresholds and quiet marks for the blocks of n frames, and the view of them the decision takes.
struct RoughBlocks {
    std::vector<float> threshold;
    std::vector<std::uint8_t> quiet;
    Conditioned view() const { return {threshold, quiet}; }
};

RoughBlocks rough_blocks(std::mt19937& rng, std::size_t n) {
    RoughBlocks c;
    std::uniform_real_distribution<float> threshold(0.0f, 0.6f);
    std::uniform_int_distribution<int> quiet(0, 9);
    for (std::size_t b = 0; b < (n + kBlock - 1) / kBlock; ++b) {
        c.threshold.push_back(threshold(rng));
        c.quiet.push_back(quiet(rng) == 0 ? 1 : 0);
    }
    return c;
}

// The decision frame by frame, as it is defined: what `decide` is held to.
void decide_plainly(const float* z, const Conditioned& c, std::uint64_t first, std::uint64_t from, std::uint64_t to,
                    TriggerState& t, std::vector<std::int32_t>& edges) {
    for (std::uint64_t g = from; g < to; ++g) {
        const std::size_t i = static_cast<std::size_t>(g - first), b = i / kBlock;
        if (t.level == 0) t.level = z[i] >= 0 ? 1 : -1;
        if (i > 0 && z[i - 1] <= 0 && z[i] > 0) t.up = g;
        if (i > 0 && z[i - 1] >= 0 && z[i] < 0) t.down = g;
        if (c.quiet[b]) continue;
        std::int8_t next = t.level;
        if (t.level < 0 && z[i] > c.threshold[b]) next = 1;
        if (t.level > 0 && z[i] < -c.threshold[b]) next = -1;
        if (next == t.level) continue;
        // The edge is where the signal crossed its baseline on the way to the new level,
        // never before the one made last.
        const std::uint64_t edge = std::min(std::max(next > 0 ? t.up : t.down, t.last_flip + 1), g);
        edges.push_back(static_cast<std::int32_t>(edge));
        t.level = next;
        t.last_flip = g;
    }
}

TEST(FrontEndMath, WordwiseDecisionIsTheFrameByFrameOne) {
    std::mt19937 rng(11);
    for (int round = 0; round < 800; ++round) {
        wide::use(round / 2 % 2 == 0);  // the wide masks where the processor has them, and the narrow ones
        const std::size_t n = 1 + rng() % 700;
        const std::vector<float> z = rough_signal(rng, n, round % 2 == 0);
        const RoughBlocks blocks = rough_blocks(rng, n);
        const Conditioned c = blocks.view();
        const std::uint64_t first = round % 3 == 0 ? 0 : rng() % 100000;
        const std::uint64_t from = first + rng() % n, to = from + rng() % (first + n - from + 1);
        TriggerState start;
        if (round % 4 != 0) {  // a state carried from frames before, or the first frame's
            start.level = rng() % 2 ? 1 : -1;
            start.up = rng() % (from + 1), start.down = rng() % (from + 1), start.last_flip = rng() % (from + 1);
        }
        TriggerState plain = start, fast = start;
        std::vector<std::int32_t> want, got;
        decide_plainly(z.data(), c, first, from, to, plain, want);
        // In two goes, split anywhere: the state carries the decision across.
        const std::uint64_t split = from + (to > from ? rng() % (to - from + 1) : 0);
        decide(z.data(), z.size(), c, first, from, split, fast, got);
        decide(z.data(), z.size(), c, first, split, to, fast, got);
        ASSERT_EQ(got, want) << "round " << round << ": frames " << from << " to " << to << " of " << first;
        if (to > from) {
            ASSERT_TRUE(fast == plain) << "round " << round;
        }
    }
    wide::use(true);
}

// The block extremes, the baseline removal, the smoothing and the lane sums of n frames.
void check_block_arithmetic(std::mt19937& rng, std::size_t n) {
    std::vector<float> x = rough_signal(rng, n, false);
    const std::size_t blocks = (n + kBlock - 1) / kBlock;
    std::vector<float> top(blocks), bottom(blocks);
    block_extremes(x.data(), n, top.data(), bottom.data());
    std::vector<float> base(blocks + 1), magnitude(blocks);
    for (float& v : base) v = 0.1f * static_cast<float>(rng() % 7) - 0.3f;
    std::vector<float> want = x;
    remove_baseline(x.data(), n, base.data(), magnitude.data());
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t lo = b * kBlock, hi = std::min(n, lo + kBlock);
        float t = want[lo], m = want[lo], sum = 0.0f;
        for (std::size_t i = lo + 1; i < hi; ++i) t = std::max(t, want[i]), m = std::min(m, want[i]);
        const float step = (base[b + 1] - base[b]) / static_cast<float>(kBlock);
        for (std::size_t i = lo; i < hi; ++i) {
            want[i] = want[i] - (base[b] + step * static_cast<float>(i - lo));
            sum += std::fabs(want[i]);
        }
        ASSERT_EQ(top[b], t) << n << " block " << b;
        ASSERT_EQ(bottom[b], m) << n << " block " << b;
        ASSERT_EQ(magnitude[b], sum / static_cast<float>(hi - lo)) << n << " block " << b;
    }
    ASSERT_EQ(std::memcmp(x.data(), want.data(), n * sizeof(float)), 0) << n;

    // The lane sums of two channels, each as a sum of its own would be.
    const std::vector<float> a = rough_signal(rng, n, false), c = rough_signal(rng, n, false);
    double la[4] = {}, lc[4] = {}, dev[5][4] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t k = i < n / 4 * 4 ? i % 4 : 0;
        la[k] += a[i], lc[k] += c[i];
    }
    const auto sums = lane_sums_of(a.data(), c.data(), n);
    EXPECT_EQ(sums[0], (la[0] + la[1]) + (la[2] + la[3]));
    EXPECT_EQ(sums[1], (lc[0] + lc[1]) + (lc[2] + lc[3]));
    const double ma = sums[0] / static_cast<double>(n), mc = sums[1] / static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t k = i < n / 4 * 4 ? i % 4 : 0;
        const double da = a[i] - ma, dc = c[i] - mc;
        dev[0][k] += da * da, dev[1][k] += std::fabs(da), dev[2][k] += dc * dc, dev[3][k] += std::fabs(dc);
        dev[4][k] += da * dc;
    }
    const auto d = lane_deviations_of(a.data(), ma, c.data(), mc, n);
    for (std::size_t q = 0; q < 5; ++q) EXPECT_EQ(d[q], (dev[q][0] + dev[q][1]) + (dev[q][2] + dev[q][3])) << q;

    // The smoothing, in place, against a pass into a buffer of its own.
    std::vector<float> y = rough_signal(rng, n, false), plain = y;
    for (std::size_t i = 1; i + 1 < n; ++i) plain[i] = 0.25f * y[i - 1] + 0.5f * y[i] + 0.25f * y[i + 1];
    smooth_pass(y.data(), n);
    ASSERT_EQ(std::memcmp(y.data(), plain.data(), n * sizeof(float)), 0);
}

TEST(FrontEndMath, BlockArithmeticIsThePlainLoops) {
    // The wide loops where the processor has them, then the narrow ones on any processor.
    for (const bool wide_loops : {true, false}) {
        wide::use(wide_loops);
        std::mt19937 rng(12);
        for (const std::size_t n : {1u, 2u, 3u, 9u, 10u, 11u, 15u, 16u, 17u, 63u, 64u, 65u, 1000u, 4099u}) {
            SCOPED_TRACE(testing::Message() << (wide_loops ? "wide" : "narrow") << ", " << n << " frames");
            check_block_arithmetic(rng, n);
        }
    }
    wide::use(true);
}

// The sliding extremes and the block means, short and long windows, cut short at either
// end or at both, against the windows taken one by one.
TEST(FrontEndMath, SlidingExtremesAndBlockMeansAreTheWindowsTakenOneByOne) {
    std::mt19937 rng(31);
    std::vector<float> out, prefix, suffix;
    for (const std::size_t n : {1u, 2u, 5u, 9u, 40u, 333u, 4000u})
        for (const std::size_t reach : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 60u, 700u}) {
            SCOPED_TRACE(testing::Message() << n << " values, reach " << reach);
            const std::vector<float> x = rough_signal(rng, n, false);
            out.assign(n, 0.0f), prefix.assign(n, 0.0f), suffix.assign(n, 0.0f);
            for (const bool lowest : {false, true}) {
                sliding_extremes(x, reach, lowest, out, prefix, suffix);
                for (std::size_t i = 0; i < n; ++i) {
                    const auto from = x.begin() + static_cast<std::ptrdiff_t>(i >= reach ? i - reach : 0);
                    const auto to = x.begin() + static_cast<std::ptrdiff_t>(std::min(n, i + reach + 1));
                    ASSERT_EQ(out[i], lowest ? *std::min_element(from, to) : *std::max_element(from, to)) << i;
                }
            }
            std::vector<double> sums(n + 1, 0.0);
            for (std::size_t b = 0; b < n; ++b) sums[b + 1] = sums[b] + std::fabs(x[b]);
            std::vector<float> amplitude(n), weaker(n);
            block_means(sums.data(), n, reach, amplitude.data(), weaker.data());
            auto mean = [&](std::size_t lo, std::size_t hi) {
                return static_cast<float>((sums[hi + 1] - sums[lo]) / static_cast<double>(hi + 1 - lo));
            };
            for (std::size_t b = 0; b < n; ++b) {
                const std::size_t lo = b >= reach ? b - reach : 0, hi = std::min(n - 1, b + reach);
                ASSERT_EQ(amplitude[b], mean(lo, hi)) << b;
                ASSERT_EQ(weaker[b], std::min(mean(lo, b), mean(b, hi))) << b;
            }
        }
}

// A square wave whose silences span the seams of the pieces the recording is decided in:
// a piece that begins in a long silence cannot fall into step with the one before within
// its margin, and is decided again from that one's state.
TEST(FrontEndMath, PiecesBeginningInSilenceJoinWithoutASeam) {
    constexpr std::size_t kPieceFrames = kConditionPiece;
    std::vector<float> x;
    std::vector<std::size_t> want;
    float level = 0.5f;
    auto tone = [&](std::size_t until) {
        while (x.size() + 20 < until) {
            x.insert(x.end(), 20, level);
            level = -level;
            want.push_back(x.size());
        }
    };
    tone(kPieceFrames - 70000);
    if (level < 0) tone(x.size() + 21);  // one more HP: the tone ends low
    want.pop_back();                     // and falls silent there: no edge
    x.resize(kPieceFrames + 90000, 0.0f);  // silence over the first seam, longer than the margin
    want.push_back(x.size());            // the tone rises again
    level = 0.5f;
    tone(kPieceFrames + 400000);
    const Recording r = condition_signal(MemoryFrameSource({x}), 44100, {});
    ASSERT_FALSE(r.edges.empty());
    // The edges where the silence ends may fall a few frames early; none may be lost or added.
    ASSERT_EQ(r.edges.size(), want.size() - 1);
    for (std::size_t i = 0; i + 1 < want.size(); ++i)
        ASSERT_LE(std::abs(static_cast<long>(r.edges[i]) - static_cast<long>(want[i])), 3) << "edge " << i;
}

}  // namespace
}  // namespace kvr
