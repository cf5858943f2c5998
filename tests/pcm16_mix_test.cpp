// 16-bit frames judged and combined straight from the file's bytes, against the channels
// converted to full-scale floats first: the same signal, the same choices, the same edges.
#include <cmath>
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "core/wide.hpp"
#include "frontend/channel_mix.hpp"
#include "frontend/front_end.hpp"
#include "frontend/pcm16_mix.hpp"

namespace kvr {
namespace {

// Interleaved little-endian frames of the channels' samples.
std::vector<std::uint8_t> bytes_of(const std::vector<std::vector<std::int16_t>>& channels) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < channels[0].size(); ++i)
        for (const auto& c : channels) {
            const auto u = static_cast<std::uint16_t>(c[i]);
            out.push_back(static_cast<std::uint8_t>(u & 0xff));
            out.push_back(static_cast<std::uint8_t>(u >> 8));
        }
    return out;
}

std::vector<std::vector<float>> floats_of(const std::vector<std::vector<std::int16_t>>& channels) {
    std::vector<std::vector<float>> out;
    for (const auto& c : channels) {
        out.emplace_back();
        for (std::int16_t v : c) out.back().push_back(static_cast<float>(v) / 32768.0f);
    }
    return out;
}

// A tape-like square wave of `amplitude` with noise, clipped to 16 bits.
std::vector<std::int16_t> tone(std::mt19937& rng, std::size_t n, double amplitude, double noise) {
    std::vector<std::int16_t> x(n);
    std::normal_distribution<double> hiss(0.0, noise);
    std::uniform_int_distribution<int> half(8, 24);
    double level = amplitude;
    for (std::size_t i = 0; i < n;) {
        for (int k = half(rng); k > 0 && i < n; --k, ++i)
            x[i] = static_cast<std::int16_t>(std::clamp(std::lround(level + hiss(rng)), -32768L, 32767L));
        level = -level;
    }
    return x;
}

std::vector<std::int16_t> turned(std::vector<std::int16_t> x, double gain) {
    for (auto& v : x) v = static_cast<std::int16_t>(std::clamp(std::lround(-gain * v), -32768L, 32767L));
    return x;
}

// Pairs of channels that reach every choice: both alike, one inverted, one dead, one noise,
// both clipped at the lowest sample for long runs, and a window of odd length.
std::vector<std::vector<std::vector<std::int16_t>>> cases(std::mt19937& rng) {
    const std::size_t n = kJudgeWindow;
    const auto a = tone(rng, n, 9000, 300);
    std::vector<std::int16_t> clipped = tone(rng, n, 60000, 0);
    std::vector<std::int16_t> noise(n), flat(n, -3);
    std::normal_distribution<double> hiss(0.0, 4000.0);
    for (auto& v : noise) v = static_cast<std::int16_t>(std::clamp(std::lround(hiss(rng)), -32768L, 32767L));
    return {{a, turned(a, -0.7)},     {a, turned(a, 1.3)},   {a, flat},        {noise, a},
            {clipped, clipped},       {clipped, turned(clipped, 1.0)},
            {tone(rng, 8191, 20000, 50), tone(rng, 8191, 200, 9000)}, {tone(rng, 13, 500, 10), tone(rng, 13, 500, 10)}};
}

TEST(Pcm16Mix, WindowIsTheConvertedChannelsCombined) {
    std::mt19937 rng(11);
    for (const wide::Width width : {wide::Width::avx2, wide::Width::sse2, wide::Width::plain}) {
        wide::limit(width);
        for (const auto& channels : cases(rng)) {
            const std::size_t n = channels[0].size();
            const std::vector<double> scale{1.7, 0.4};
            Channels converted;
            for (const auto& c : floats_of(channels)) converted.emplace_back(c.begin(), c.end());
            std::vector<float> want(n), got(n);
            FrontEndSummary s_want, s_got;
            s_want.share_used = s_want.share_inverted = s_got.share_used = s_got.share_inverted = {0.0, 0.0};
            combine_window(converted, scale, want.data(), true, s_want);
            combine_window16(bytes_of(channels).data(), 2, n, scale, got.data(), true, s_got);
            for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(got[i], want[i]) << "frame " << i << " of " << n;
            EXPECT_EQ(s_got.share_used, s_want.share_used);
            EXPECT_EQ(s_got.share_inverted, s_want.share_inverted);

            // One channel alone is its samples at full scale.
            combine_window16(bytes_of({channels[0]}).data(), 1, n, scale, got.data(), true, s_got);
            for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(got[i], converted[0][i]);
        }
    }
    wide::limit(wide::Width::avx512);
}

// The data of a file of n 16-bit stereo frames that begins with them.
PcmRun stereo_run(std::size_t n) {
    PcmRun run;
    run.frames = n;
    run.format.bits = 16;
    run.format.channels = 2;
    return run;
}

// Reads a file's bytes from memory, as an open file is read; it can be cut short.
class MemoryFetcher : public PcmFetcher {
public:
    MemoryFetcher(const std::vector<std::uint8_t>& bytes, std::size_t length) : bytes_(bytes), length_(length) {}
    std::size_t read(std::uint64_t offset, std::size_t size, std::uint8_t* dest) const override {
        const std::size_t got = offset >= length_ ? 0 : std::min<std::size_t>(size, length_ - offset);
        std::memcpy(dest, bytes_.data() + offset, got);
        return got;
    }

private:
    const std::vector<std::uint8_t>& bytes_;
    std::size_t length_;
};

// A recording of several stretches and two pieces: the frames read from the file's bytes,
// in memory or through a fetcher, condition exactly as the converted channels do; frames
// the fetcher cannot read are silence.
TEST(Pcm16Mix, RecordingConditionsAsItsConvertedChannels) {
    std::mt19937 rng(3);
    const std::size_t n = 5 * 44100 + 77;
    std::vector<std::vector<std::int16_t>> channels{tone(rng, n, 7000, 900), {}};
    channels[1] = turned(channels[0], 0.5);
    std::fill(channels[0].begin() + 100000, channels[0].begin() + 150000, std::int16_t{0});  // one channel drops out
    const std::vector<std::uint8_t> file = bytes_of(channels);
    const PcmRun run = stereo_run(n);
    const Bytes bytes(file.data(), file.size());
    FrontEndSummary want_summary, got_summary;
    const Recording want = condition_signal(MemoryFrameSource(floats_of(channels)), 44100, {}, &want_summary);
    const Recording got = condition_signal(PcmFrameSource(bytes, run), 44100, {}, &got_summary);
    EXPECT_EQ(got.edges, want.edges);
    EXPECT_EQ(got.first_low, want.first_low);
    EXPECT_EQ(got_summary.share_used, want_summary.share_used);
    EXPECT_EQ(got_summary.share_inverted, want_summary.share_inverted);

    // A stretch of the recording, as a retry conditions it: its frames are the file's from
    // where the stretch begins.
    const MemoryFrameSource converted(floats_of(channels));
    const PcmFrameSource pcm(bytes, run);
    const std::uint64_t first = 70001, count = 2 * 44100 + 3;
    EXPECT_EQ(condition_signal(WindowFrameSource(pcm, first, count), 44100, {}).edges,
              condition_signal(WindowFrameSource(converted, first, count), 44100, {}).edges);

    const std::size_t cut = 3 * 44100 * 4 + 2;  // in the middle of a frame
    const MemoryFetcher fetcher(file, cut);
    auto silenced = channels;
    // The frame cut in two keeps its first sample.
    std::fill(silenced[0].begin() + static_cast<std::ptrdiff_t>(cut / 4 + 1), silenced[0].end(), std::int16_t{0});
    std::fill(silenced[1].begin() + static_cast<std::ptrdiff_t>(cut / 4), silenced[1].end(), std::int16_t{0});
    const Recording cut_want = condition_signal(MemoryFrameSource(floats_of(silenced)), 44100, {});
    const Recording cut_got = condition_signal(PcmFrameSource(bytes, run, &fetcher), 44100, {});
    EXPECT_EQ(cut_got.edges, cut_want.edges);
}

// The channels' levels, sampled from a long recording's bytes, are those of its converted
// channels to the last bit, on one thread and on two; so are they where the file is cut short.
TEST(Pcm16Mix, ChannelLevelsAreThoseOfTheConvertedChannels) {
    std::mt19937 rng(5);
    for (const std::size_t n : {std::size_t{300000}, std::size_t{70} * 65536 + 123}) {
        std::vector<std::vector<std::int16_t>> channels{tone(rng, n, 9000, 700), {}};
        channels[1] = turned(channels[0], 0.3);
        const std::vector<std::uint8_t> file = bytes_of(channels);
        const PcmRun run = stereo_run(n);
        const Bytes bytes(file.data(), file.size());
        EXPECT_EQ(channel_scales16({bytes, run}), channel_scales(MemoryFrameSource(floats_of(channels)))) << n;
        const std::size_t cut = n / 2 * 4;
        const MemoryFetcher fetcher(file, cut);
        auto silenced = channels;
        for (auto& c : silenced) std::fill(c.begin() + static_cast<std::ptrdiff_t>(n / 2), c.end(), std::int16_t{0});
        EXPECT_EQ(channel_scales16({bytes, run, &fetcher}), channel_scales(MemoryFrameSource(floats_of(silenced)))) << n;
    }
}

}  // namespace
}  // namespace kvr
