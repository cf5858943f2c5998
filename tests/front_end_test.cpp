// The signal front end on synthetic signals whose true edges are known.
#include <cmath>
#include <ctime>
#include <random>
#include <stdexcept>

#include <gtest/gtest.h>

#include "frontend/block_math.hpp"
#include "frontend/front_end.hpp"
#include "support.hpp"

namespace kvr {
namespace {

constexpr std::int32_t kRate = 44100;

// A square wave of the given HP lengths (in samples), starting high, with amplitude 0.5.
std::vector<float> square(const std::vector<int>& hps) {
    std::vector<float> out;
    float level = 0.5f;
    for (int n : hps) {
        out.insert(out.end(), static_cast<std::size_t>(n), level);
        level = -level;
    }
    return out;
}

// A tape-like pattern: a pilot, then bits of 11 and 22 samples, then silence.
std::vector<int> tape_hps() {
    std::vector<int> hps(400, 27);
    std::mt19937 rng(7);
    for (int i = 0; i < 600; ++i) {
        const int hp = (rng() & 1) ? 22 : 11;
        hps.push_back(hp);
        hps.push_back(hp);
    }
    hps.push_back(2000);
    return hps;
}

std::vector<std::size_t> edges_of(const SampleVector& levels) {
    std::vector<std::size_t> e;
    for (std::size_t i = 1; i < levels.size(); ++i)
        if ((levels[i] < 0) != (levels[i - 1] < 0)) e.push_back(i);
    return e;
}

std::vector<std::size_t> true_edges(const std::vector<int>& hps) {
    std::vector<std::size_t> e;
    std::size_t at = 0;
    for (std::size_t i = 0; i + 1 < hps.size(); ++i) e.push_back(at += static_cast<std::size_t>(hps[i]));
    return e;
}

SampleVector condition(std::vector<std::vector<float>> channels, const FrontEndSettings& s = {},
                       FrontEndSummary* summary = nullptr) {
    return test::levels_of(condition_signal(MemoryFrameSource(std::move(channels)), kRate, s, summary));
}

// Every true edge found within `slack` samples, and no other edge.
void expect_edges(const SampleVector& levels, const std::vector<int>& hps, std::size_t slack, const char* what) {
    const std::vector<std::size_t> want = true_edges(hps), got = edges_of(levels);
    ASSERT_EQ(got.size(), want.size()) << what << ": first edges " << got[0] << " " << got[1] << ", last " << got.back() << " of " << levels.size();
    for (std::size_t i = 0; i < want.size(); ++i)
        ASSERT_LE(got[i] > want[i] ? got[i] - want[i] : want[i] - got[i], slack) << what << ", edge " << i;
}

TEST(FrontEnd, CleanSignalKeepsItsEdgesExactly) {
    const std::vector<int> hps = tape_hps();
    expect_edges(condition({square(hps)}), hps, 0, "clean");
}

// The processor time of all threads of the process, in seconds.
double processor_seconds() {
    timespec t {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

TEST(FrontEnd, WorkPerFrameIsBoundedWhateverTheRate) {
    // A damaged header's rate: the smoothing and the windows stop growing with it. Unbounded,
    // 36,000 smoothing passes over every frame took seconds for these 440,000 frames.
    std::vector<int> hps;
    for (int i = 0; i < 12; ++i) {
        const std::vector<int> more = tape_hps();
        hps.insert(hps.end(), more.begin(), more.end());
    }
    const std::vector<float> signal = square(hps);
    for (const std::int32_t rate : {kRate, 10000000, 800000000, INT32_MAX}) {
        const double start = processor_seconds();
        const Recording r = condition_signal(MemoryFrameSource({signal}), rate, {});
        const double spent = processor_seconds() - start;
        EXPECT_EQ(r.count, static_cast<std::int32_t>(signal.size())) << rate;
        EXPECT_LT(spent, 0.5) << rate;
    }
}

TEST(FrontEnd, PiecesJoinWithoutASeam) {
    // Long enough to be decided in two even pieces (a retry's long stretch), and in three.
    for (const std::size_t frames : {std::size_t{1200000}, std::size_t{4600000}}) {
        std::vector<int> hps;
        std::size_t length = 0;
        while (length < frames) {
            const std::vector<int> more = tape_hps();
            hps.insert(hps.end(), more.begin(), more.end());
            for (int hp : more) length += static_cast<std::size_t>(hp);
        }
        expect_edges(condition({square(hps)}), hps, 0, frames < kConditionPiece ? "two pieces" : "three pieces");
    }
}

// Silence whose reading fails from a given frame on, as a file that cannot be read there.
class FailingSource : public FrameSource {
public:
    FailingSource(std::uint64_t frames, std::uint64_t fails_from) : frames_(frames), fails_from_(fails_from) {}
    std::size_t channels() const override { return 1; }
    std::uint64_t frames() const override { return frames_; }
    void read(std::uint64_t from, std::size_t count, FrameChannels& out) const override {
        if (from + count > fails_from_) throw std::runtime_error("unreadable");
        out.resize(1);
        out[0].assign(count, 0.0f);
    }

private:
    std::uint64_t frames_, fails_from_;
};

TEST(FrontEnd, AFailedReadInAnyPieceEndsTheConditioning) {
    // Pieces are made on other threads, ahead of the one joined: the first piece, one in the
    // middle and the last each end the conditioning with the error, never a hang.
    constexpr std::uint64_t kFrames = 6 * kConditionPiece + 1000;
    for (const std::uint64_t at : {std::uint64_t{10}, 3 * kConditionPiece + 5, kFrames - 5})
        EXPECT_THROW(condition_signal(FailingSource(kFrames, at), kRate, {}), std::runtime_error) << at;
    EXPECT_EQ(condition_signal(FailingSource(kFrames, kFrames), kRate, {}).count, static_cast<std::int32_t>(kFrames));
}

TEST(FrontEnd, BaselineDcHumAndDroopAreRemoved) {
    const std::vector<int> hps = tape_hps();
    std::vector<float> x = square(hps);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        x[i] += static_cast<float>(0.3 + 0.25 * std::sin(2 * M_PI * 50 * t) + 0.1 * std::sin(2 * M_PI * 150 * t));
    }
    expect_edges(condition({x}), hps, 1, "offset and hum");
}

TEST(FrontEnd, NoiseAndCoarseStepsMakeNoSpuriousEdges) {
    const std::vector<int> hps = tape_hps();
    std::vector<float> noisy = square(hps), coarse = square(hps);
    std::mt19937 rng(3);
    std::normal_distribution<float> gauss(0.0f, 0.12f);
    for (float& v : noisy) v += gauss(rng);
    // An 8-bit capture a few steps loud, with a step of noise.
    std::uniform_int_distribution<int> step(-1, 1);
    for (float& v : coarse) v = std::round(v * 8.0f + static_cast<float>(step(rng))) / 128.0f;
    expect_edges(condition({noisy}), hps, 2, "noise");
    expect_edges(condition({coarse}), hps, 2, "coarse steps");
}

TEST(FrontEnd, ChannelsAreJudgedEachOnItsOwn) {
    const std::vector<int> hps = tape_hps();
    const std::vector<float> left = square(hps);
    std::vector<float> inverted(left.size()), dead(left.size(), 0.0f), noise(left.size());
    for (std::size_t i = 0; i < left.size(); ++i) inverted[i] = -1.6f * left[i];
    std::mt19937 rng(5);
    std::normal_distribution<float> gauss(0.0f, 0.4f);
    for (float& v : noise) v = gauss(rng);

    for (const auto* right : {&inverted, &dead, &noise}) {
        FrontEndSummary summary;
        const SampleVector levels = condition({left, *right}, {}, &summary);
        expect_edges(levels, hps, 0, right == &inverted ? "inverted" : (right == &dead ? "dead" : "noise"));
        EXPECT_DOUBLE_EQ(summary.share_used[0], 1.0);
        if (right == &inverted) {
            // The louder channel leads; the other is turned to its phase.
            EXPECT_DOUBLE_EQ(summary.share_used[1], 1.0);
            EXPECT_DOUBLE_EQ(summary.share_inverted[0] + summary.share_inverted[1], 1.0);
        } else {
            EXPECT_DOUBLE_EQ(summary.share_used[1], 0.0);
        }
    }
    // A channel chosen alone: the inverted one gives the opposite levels.
    FrontEndSettings right_only;
    right_only.channel = 1;
    const SampleVector levels = condition({left, inverted}, right_only);
    expect_edges(levels, hps, 0, "right alone");
    EXPECT_LT(levels[5], 0);
}

// A dropout (the tone at a tenth of its level for 8 ms) is read on and noted as a weak
// stretch; a silence of 200 ms is neither read nor noted; a tone without either notes nothing.
TEST(FrontEnd, DropoutsAreNotedAsWeakStretches) {
    const std::vector<int> hps = tape_hps();
    std::vector<float> x = square(hps);
    const std::size_t dropout = 30000, length = kRate * 8 / 1000;
    for (std::size_t i = dropout; i < dropout + length; ++i) x[i] *= 0.1f;
    std::vector<float> silent = square(hps);
    silent.insert(silent.begin() + 20000, kRate / 5, 0.0f);

    FrontEndSummary summary;
    condition({x}, {}, &summary);
    ASSERT_EQ(summary.weak.size(), 1u);
    EXPECT_LE(summary.weak[0].from, dropout + kBlock);
    EXPECT_GE(summary.weak[0].to + kBlock, dropout + length);
    EXPECT_LT(summary.weak[0].to - summary.weak[0].from, 2 * length);

    condition({silent}, {}, &summary);
    EXPECT_TRUE(summary.weak.empty());
    condition({square(hps)}, {}, &summary);
    EXPECT_TRUE(summary.weak.empty());
}

}  // namespace
}  // namespace kvr
