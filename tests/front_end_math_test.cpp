// The front end's fast paths (a word of frames at a time, runs of windows) against the
// plain loops they stand for, on signals chosen to reach every corner.
#include <algorithm>
#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "core/wide.hpp"
#include "frontend/block_math.hpp"
#include "frontend/channel_judge.hpp"
#include "frontend/conditioning.hpp"
#include "frontend/front_end.hpp"
#include "frontend/trigger.hpp"
#include "kernels/kernels.hpp"
#include "support.hpp"

namespace kvr {
namespace {

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
        // The masks of every width the processor has, and the plain ones.
        const wide::Width widths[] = {wide::Width::avx512, wide::Width::avx2, wide::Width::sse2, wide::Width::plain};
        wide::limit(widths[round / 2 % 4]);
        const std::size_t n = 1 + rng() % 700;
        const std::vector<float> z = test::rough_signal(rng, n, round % 2 == 0);
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
    wide::limit(wide::Width::avx512);
}

// The smoothing a stretch at a time, with its block extremes, against each pass taken over
// the whole signal and then the extremes: bit for bit, at lengths around the stretches and
// the blocks, for no pass, one, and the several of high rates; with frames coming a judging
// window at a time, as the mix hands them on, and in steps of any length, a step of none
// among them.
TEST(FrontEndMath, SmoothingAStretchAtATimeIsThePassesOverTheWhole) {
    std::mt19937 rng(7);
    constexpr std::size_t s = kJudgeWindow;
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{17}, s - 1, s,
                                s + 1, s + 2, 2 * s - 3, 3 * s + kBlock + 5})
        for (const int passes : {0, 1, 2, 3, 7}) {
            SCOPED_TRACE(testing::Message() << n << " frames, " << passes << " passes");
            const std::vector<float> x = test::rough_signal(rng, n, false);
            FrameChannel whole(x.begin(), x.end()), stretched(x.begin(), x.end());
            for (int p = 0; p < passes; ++p) kernels::smooth_pass(whole.data(), whole.size());
            const std::size_t blocks = (n + kBlock - 1) / kBlock;
            std::vector<float> top(blocks), bottom(blocks), want_top(blocks), want_bottom(blocks);
            kernels::block_extremes(whole.data(), n, want_top.data(), want_bottom.data());
            Smoothing by_window(passes, top.data(), bottom.data());
            for (std::size_t ready = std::min(n, s);; ready = std::min(n, ready + s)) {
                by_window.advance(stretched.data(), n, ready);
                if (ready == n) break;
            }
            ASSERT_TRUE(std::equal(whole.begin(), whole.end(), stretched.begin()));
            ASSERT_EQ(top, want_top);
            ASSERT_EQ(bottom, want_bottom);

            FrameChannel stepped(x.begin(), x.end());
            std::vector<float> step_top(blocks), step_bottom(blocks);
            Smoothing smoothing(passes, step_top.data(), step_bottom.data());
            for (std::size_t ready = 0; ready < n; ready = std::min(n, ready + rng() % 40))
                smoothing.advance(stepped.data(), n, ready);
            smoothing.advance(stepped.data(), n, n);
            ASSERT_TRUE(std::equal(whole.begin(), whole.end(), stepped.begin()));
            ASSERT_EQ(step_top, want_top);
            ASSERT_EQ(step_bottom, want_bottom);
        }
}

// The sliding extremes and the block means, short and long windows, cut short at either
// end or at both, against the windows taken one by one.
TEST(FrontEndMath, SlidingExtremesAndBlockMeansAreTheWindowsTakenOneByOne) {
    std::mt19937 rng(31);
    std::vector<float> out, prefix, suffix;
    for (const std::size_t n : {1u, 2u, 5u, 9u, 40u, 333u, 4000u})
        for (const std::size_t reach : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 60u, 700u}) {
            SCOPED_TRACE(testing::Message() << n << " values, reach " << reach);
            const std::vector<float> x = test::rough_signal(rng, n, false);
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
