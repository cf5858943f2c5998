// Every kernel's wide forms against its plain twin, bit for bit, on random data of awkward
// lengths and at unaligned addresses; and the plain twins against what they are defined to
// give. A wide form the processor lacks is skipped.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/wide.hpp"
#include "kernels/kernels.hpp"
#include "support.hpp"

namespace kvr::kernels {
namespace {

using wide::Width;

bool has(Width w) { return wide::processor_width() >= w; }

// Lengths around every step of the wide forms (4, 8, 16 and 64 frames) and a few long ones.
const std::size_t kLengths[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 15, 16, 17, 31, 63, 64, 65, 127, 129, 131, 1000, 4099};

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<float> rough(std::mt19937& rng, std::size_t n, bool with_nan = false) {
    return test::rough_signal(rng, n, with_nan);
}

// n values copied to `offset` floats past an aligned start, so that no form may rely on
// alignment; the vector keeps them alive.
float* unaligned(std::vector<float>& room, const std::vector<float>& x, std::size_t offset) {
    room.assign(x.size() + offset, 0.0f);
    std::copy(x.begin(), x.end(), room.begin() + static_cast<std::ptrdiff_t>(offset));
    return room.data() + offset;
}

std::size_t blocks_of(std::size_t n) { return (n + kBlockFrames - 1) / kBlockFrames; }

TEST(Kernels, BlockFormsAreThePlainOnes) {
    std::mt19937 rng(21);
    for (const std::size_t n : kLengths) {
        SCOPED_TRACE(testing::Message() << n << " frames");
        const std::vector<float> x = rough(rng, n);
        std::vector<float> base(blocks_of(n) + 1);
        for (float& v : base) v = 0.1f * static_cast<float>(rng() % 7) - 0.3f;
        std::vector<float> room;

        std::vector<float> top(blocks_of(n)), bottom(top), wide_top(top), wide_bottom(top);
        plain::block_extremes(x.data(), n, top.data(), bottom.data());
        std::vector<float> flat = x, magnitude(blocks_of(n)), smoothed = x;
        plain::remove_baseline(flat.data(), n, base.data(), magnitude.data());
        plain::smooth_pass(smoothed.data(), n);
        if (!has(Width::sse2)) continue;

        float* at = unaligned(room, x, 3);
        sse2::block_extremes(at, n, wide_top.data(), wide_bottom.data());
        // As numbers: the order of the comparisons may give a zero the other sign.
        for (std::size_t b = 0; b < top.size(); ++b) {
            ASSERT_EQ(wide_top[b], top[b]) << "block " << b;
            ASSERT_EQ(wide_bottom[b], bottom[b]) << "block " << b;
        }
        std::vector<float> wide_magnitude(magnitude.size());
        sse2::remove_baseline(at, n, base.data(), wide_magnitude.data());
        ASSERT_TRUE(same_bits(std::vector<float>(at, at + n), flat));
        ASSERT_TRUE(same_bits(wide_magnitude, magnitude));
        for (const Width w : {Width::sse2, Width::avx2}) {
            if (!has(w)) continue;
            at = unaligned(room, x, 1);
            (w == Width::avx2 ? avx2::smooth_pass : sse2::smooth_pass)(at, n);
            ASSERT_TRUE(same_bits(std::vector<float>(at, at + n), smoothed)) << "width " << static_cast<int>(w);
        }
    }
}

TEST(Kernels, PlainBlockFormsAreTheirDefinitions) {
    std::mt19937 rng(12);
    for (const std::size_t n : kLengths) {
        SCOPED_TRACE(testing::Message() << n << " frames");
        std::vector<float> x = rough(rng, n);
        const std::size_t blocks = blocks_of(n);
        std::vector<float> top(blocks), bottom(blocks), base(blocks + 1), magnitude(blocks);
        for (float& v : base) v = 0.1f * static_cast<float>(rng() % 7) - 0.3f;
        plain::block_extremes(x.data(), n, top.data(), bottom.data());
        std::vector<float> want = x;
        plain::remove_baseline(x.data(), n, base.data(), magnitude.data());
        for (std::size_t b = 0; b < blocks; ++b) {
            const auto lo = want.begin() + static_cast<std::ptrdiff_t>(b * kBlockFrames);
            const auto hi = want.begin() + static_cast<std::ptrdiff_t>(std::min(n, (b + 1) * kBlockFrames));
            ASSERT_EQ(top[b], *std::max_element(lo, hi)) << "block " << b;
            ASSERT_EQ(bottom[b], *std::min_element(lo, hi)) << "block " << b;
            // The baseline in equal steps across the block; the magnitudes summed in order.
            const float step = (base[b + 1] - base[b]) / static_cast<float>(kBlockFrames);
            float sum = 0.0f;
            for (auto v = lo; v != hi; ++v) {
                *v = *v - (base[b] + step * static_cast<float>(v - lo));
                sum += std::fabs(*v);
            }
            ASSERT_EQ(magnitude[b], sum / static_cast<float>(hi - lo)) << "block " << b;
        }
        ASSERT_TRUE(same_bits(x, want));

        // The smoothing in place is a pass into a buffer of its own.
        std::vector<float> y = rough(rng, n), pass = y;
        for (std::size_t i = 1; i + 1 < n; ++i) pass[i] = 0.25f * y[i - 1] + 0.5f * y[i] + 0.25f * y[i + 1];
        plain::smooth_pass(y.data(), n);
        ASSERT_TRUE(same_bits(y, pass));
    }
}

TEST(Kernels, LaneSumsInEveryFormAreTheLanesDefined) {
    std::mt19937 rng(13);
    for (const std::size_t n : kLengths) {
        SCOPED_TRACE(testing::Message() << n << " frames");
        const std::vector<float> a = rough(rng, n), b = rough(rng, n);
        // Frame i in lane i % 4, those past the last whole four in lane 0.
        double la[kLanes] = {}, lb[kLanes] = {}, dev[5][kLanes] = {};
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t k = i < n / 4 * 4 ? i % 4 : 0;
            la[k] += a[i], lb[k] += b[i];
        }
        auto combined = [](const double* lane) { return (lane[0] + lane[1]) + (lane[2] + lane[3]); };
        const double mean_a = n > 0 ? combined(la) / static_cast<double>(n) : 0.0;
        const double mean_b = n > 0 ? combined(lb) / static_cast<double>(n) : 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t k = i < n / 4 * 4 ? i % 4 : 0;
            const double da = a[i] - mean_a, db = b[i] - mean_b;
            dev[0][k] += da * da, dev[1][k] += std::fabs(da), dev[2][k] += db * db, dev[3][k] += std::fabs(db);
            dev[4][k] += da * db;
        }
        std::vector<float> room_a, room_b;
        const float* at_a = unaligned(room_a, a, 1);
        const float* at_b = unaligned(room_b, b, 2);
        for (const Width w : {Width::plain, Width::sse2, Width::avx2}) {
            if (!has(w)) continue;
            SCOPED_TRACE(testing::Message() << "width " << static_cast<int>(w));
            const LaneSums s = w == Width::avx2   ? avx2::lane_sums(at_a, at_b, n)
                               : w == Width::sse2 ? sse2::lane_sums(at_a, at_b, n)
                                                  : plain::lane_sums(at_a, at_b, n);
            EXPECT_TRUE(same_bits(s.a, combined(la)));
            EXPECT_TRUE(same_bits(s.b, combined(lb)));
            const LaneDeviations d = w == Width::avx2   ? avx2::lane_deviations(at_a, mean_a, at_b, mean_b, n)
                                     : w == Width::sse2 ? sse2::lane_deviations(at_a, mean_a, at_b, mean_b, n)
                                                        : plain::lane_deviations(at_a, mean_a, at_b, mean_b, n);
            EXPECT_TRUE(same_bits(d.squares_a, combined(dev[0])));
            EXPECT_TRUE(same_bits(d.magnitudes_a, combined(dev[1])));
            EXPECT_TRUE(same_bits(d.squares_b, combined(dev[2])));
            EXPECT_TRUE(same_bits(d.magnitudes_b, combined(dev[3])));
            EXPECT_TRUE(same_bits(d.cross, combined(dev[4])));
        }
    }
}

bool same(const FrameBits& a, const FrameBits& b) {
    return a.positive == b.positive && a.negative == b.negative && a.not_positive == b.not_positive &&
           a.not_negative == b.not_negative && a.above == b.above && a.below == b.below;
}

TEST(Kernels, FrameBitsInEveryFormAreEachFramesFacts) {
    std::mt19937 rng(14);
    std::uniform_real_distribution<float> threshold(0.0f, 0.6f);
    for (int round = 0; round < 400; ++round) {
        const std::size_t count = round < 65 ? static_cast<std::size_t>(round) : (round % 2 ? kWordFrames : rng() % 65);
        const std::vector<float> z = rough(rng, kWordFrames, round % 3 != 0);
        float high[kWordFrames / kBlockFrames];
        std::uint8_t quiet[kWordFrames / kBlockFrames];
        for (std::size_t b = 0; b < std::size(high); ++b) high[b] = threshold(rng), quiet[b] = rng() % 4 == 0;
        FrameBits want;
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint64_t bit = std::uint64_t{1} << k;
            const float v = z[k], t = high[k / kBlockFrames];
            const bool loud = !quiet[k / kBlockFrames];
            want.positive |= v > 0 ? bit : 0, want.negative |= v < 0 ? bit : 0;
            want.not_positive |= v <= 0 ? bit : 0, want.not_negative |= v >= 0 ? bit : 0;
            want.above |= loud && v > t ? bit : 0, want.below |= loud && v < -t ? bit : 0;
        }
        std::vector<float> room;
        const float* at = unaligned(room, z, 1 + static_cast<std::size_t>(round) % 3);
        ASSERT_TRUE(same(plain::frame_bits(at, count, high, quiet), want)) << "round " << round;
        const bool wide_sse2 = !has(Width::sse2) || same(sse2::frame_bits(at, count, high, quiet), want);
        const bool wide_avx2 = !has(Width::avx2) || same(avx2::frame_bits(at, count, high, quiet), want);
        const bool wide_avx512 = !has(Width::avx512) || same(avx512::frame_bits(at, count, high, quiet), want);
        ASSERT_TRUE(wide_sse2 && wide_avx2 && wide_avx512) << "round " << round;
    }
}

// n random frames of `channels` 16-bit samples, with long runs at the extremes of the range.
std::vector<std::uint8_t> pcm16(std::mt19937& rng, std::size_t n, std::size_t channels) {
    std::vector<std::uint8_t> bytes(2 * channels * n + 1);  // one more: the end need not be aligned either
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const std::size_t run = i / 64 % 4;
        const auto v = static_cast<std::uint16_t>(run == 1 ? 0x8000 : (run == 2 ? 0x7fff : rng()));
        bytes[i] = static_cast<std::uint8_t>(v & 0xff), bytes[i + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    return bytes;
}

std::int64_t sample_at(const std::vector<std::uint8_t>& b, std::size_t i) {
    return static_cast<std::int16_t>(b[2 * i] | (b[2 * i + 1] << 8));
}

TEST(Kernels, Pcm16FormsAreThePlainOnesAndThePlainOnesTheirDefinitions) {
    std::mt19937 rng(15);
    for (const std::size_t n : kLengths) {
        SCOPED_TRACE(testing::Message() << n << " frames");
        const std::vector<std::uint8_t> stereo = pcm16(rng, n, 2), mono = pcm16(rng, n, 1);

        // The channels apart, each at full scale.
        std::vector<float> left(n), right(n), wide_left(n), wide_right(n);
        plain::convert_stereo16(stereo.data(), n, left.data(), right.data());
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(left[i], static_cast<float>(sample_at(stereo, 2 * i)) / 32768.0f);
            ASSERT_EQ(right[i], static_cast<float>(sample_at(stereo, 2 * i + 1)) / 32768.0f);
        }
        if (has(Width::sse2)) {
            sse2::convert_stereo16(stereo.data(), n, wide_left.data(), wide_right.data());
            ASSERT_TRUE(same_bits(wide_left, left) && same_bits(wide_right, right));
        }

        // The sums are their definitions.
        StereoSums sums = plain::stereo16_sums(stereo.data(), n);
        plain::add_sums_above(stereo.data(), n, sums);
        for (std::size_t c = 0; c < 2; ++c) {
            auto x = [&](std::size_t i) { return sample_at(stereo, 2 * i + c); };
            std::int64_t sum = 0, squares = 0, above = 0, many = 0;
            for (std::size_t i = 0; i < n; ++i) sum += x(i), squares += x(i) * x(i);
            for (std::size_t i = 0; i < n; ++i)
                if (x(i) * static_cast<std::int64_t>(n) > sum) above += x(i), ++many;
            EXPECT_EQ(sums.sum[c], sum);
            EXPECT_EQ(sums.squares[c], squares);
            EXPECT_EQ(sums.sum_above[c], above);
            EXPECT_EQ(sums.count_above[c], many);
        }
        std::int64_t cross = 0;
        for (std::size_t i = 0; i < n; ++i) cross += sample_at(stereo, 2 * i) * sample_at(stereo, 2 * i + 1);
        EXPECT_EQ(sums.cross, cross);

        // The channels combined: weights turned, scaled and zero.
        const float weights[][2] = {{0.5f, -0.25f}, {1.7f, 0.0f}, {0.0f, 0.4f}, {-1.0f, 3.1f}};
        std::vector<float> combined(n), wide_combined(n);
        for (const auto& w : weights) {
            plain::combine16(stereo.data(), 2, n, w, combined.data());
            for (std::size_t i = 0; i < n; ++i)
                ASSERT_EQ(combined[i], w[0] / 32768.0f * static_cast<float>(sample_at(stereo, 2 * i)) +
                                           w[1] / 32768.0f * static_cast<float>(sample_at(stereo, 2 * i + 1)));
            if (!has(Width::avx2)) continue;
            avx2::combine16(stereo.data(), 2, n, w, wide_combined.data());
            ASSERT_TRUE(same_bits(wide_combined, combined)) << w[0] << ", " << w[1];
            plain::combine16(mono.data(), 1, n, w, combined.data());
            avx2::combine16(mono.data(), 1, n, w, wide_combined.data());
            ASSERT_TRUE(same_bits(wide_combined, combined)) << "one channel, " << w[0];
        }
        if (!has(Width::avx2)) continue;
        StereoSums wide_sums = avx2::stereo16_sums(stereo.data(), n);
        avx2::add_sums_above(stereo.data(), n, wide_sums);
        EXPECT_EQ(std::memcmp(&wide_sums, &sums, sizeof sums), 0);
    }
}

TEST(Kernels, LevelBitsInEveryFormAreThePlainOnes) {
    std::mt19937 rng(16);
    for (const LevelLayout layout : {LevelLayout::stereo16, LevelLayout::mono16, LevelLayout::mono8}) {
        const std::size_t frame = layout == LevelLayout::stereo16 ? 4 : (layout == LevelLayout::mono16 ? 2 : 1);
        for (const std::size_t n : kLengths) {
            std::vector<std::uint8_t> bytes(n * frame + 3);
            for (std::size_t i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<std::uint8_t>(i % 256 < 128 ? rng() : (i % 512 < 256 ? 0x80 : 0x7f));
            std::vector<std::uint64_t> want((n + 63) / 64 + 1, ~0ULL), got = want;
            plain::low_bits(layout, bytes.data() + 1, n, want.data());
            if (n % 64 != 0) {
                EXPECT_EQ(want[n / 64] >> (n % 64), 0u) << "bits past the end";
            }
            EXPECT_EQ(want.back(), ~0ULL) << "a word past the end";
            if (!has(Width::avx2)) continue;
            avx2::low_bits(layout, bytes.data() + 1, n, got.data());
            EXPECT_EQ(got, want) << static_cast<int>(layout) << ", " << n << " frames";
        }
    }
}

}  // namespace
}  // namespace kvr::kernels
