// The demodulator: its arithmetic, the pilot tones it finds in noise, the chain's response it
// measures and undoes, the bits it decides with their confidence, and the mending of a block
// at its weakest bits.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include <gtest/gtest.h>

#include "conversion/context.hpp"
#include "conversion/driver.hpp"
#include "core/byte_bits.hpp"
#include "demod/channel.hpp"
#include "demod/demodulator.hpp"
#include "demod/signal.hpp"
#include "demod/tones.hpp"
#include "formats/tap_file.hpp"
#include "loaders/registry.hpp"
#include "recovery/bit_mending.hpp"
#include "recovery/header_start.hpp"
#include "recovery/retry.hpp"
#include "recovery/run_on.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

using demod::Signal;

constexpr double kRate = 44100.0;
constexpr double kPerT = kRate / 3.5e6;

// A ROM-scheme block's half-periods in T-states: its pilot, the sync, two per bit.
std::vector<double> block_hps(const ByteVec& bytes, int pilots) {
    std::vector<double> hps(static_cast<std::size_t>(pilots), 2168.0);
    hps.push_back(667.0);
    hps.push_back(735.0);
    for (std::uint8_t b : bytes)
        for (int k = 7; k >= 0; --k) {
            const double hp = ((b >> k) & 1) ? 1710.0 : 855.0;
            hps.push_back(hp);
            hps.push_back(hp);
        }
    return hps;
}

// The half-periods as a square wave of amplitude `a` with Gaussian noise, edges at their exact
// places (a sample on an edge takes the level of the part of it that is longest), after a
// stretch of silence and followed by one.
Signal square_wave(const std::vector<double>& hps, double a, double sigma, unsigned seed, double silence = 0.2) {
    const double lead = silence * kRate;
    double total = lead * 2;
    for (double hp : hps) total += hp * kPerT;
    Signal x(static_cast<std::size_t>(total), 0.0f);
    double t = lead;
    float level = static_cast<float>(-a);
    for (double hp : hps) {
        const double end = t + hp * kPerT;
        for (auto i = static_cast<std::size_t>(std::ceil(t - 0.5)); i < x.size() && static_cast<double>(i) + 0.5 <= end; ++i)
            x[i] = level;
        t = end;
        level = -level;
    }
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, sigma);
    for (float& v : x) v += static_cast<float>(noise(rng));
    return x;
}

// The bytes of the bits a demodulation decided for a block.
ByteVec bytes_of(const demod::DataReading& d) {
    ByteVec out(d.bits.size() / 8, 0);
    for (std::size_t i = 0; i < out.size() * 8; ++i) out[i / 8] = static_cast<std::uint8_t>(out[i / 8] * 2 + d.bits[i].value);
    return out;
}

TEST(DemodSignal, SumsFiltersAndRates) {
    const Signal x{1, 2, 3, 4};
    const demod::PrefixSums s(x);
    EXPECT_DOUBLE_EQ(s.sum(0, 4), 10.0);
    EXPECT_DOUBLE_EQ(s.sum(0.5, 1.5), 0.5 * 1 + 0.5 * 2);  // each sample held over its width
    EXPECT_DOUBLE_EQ(s.sum(-3, 9), 10.0);                  // clamped to the signal
    // Long filters go by blocks through the transform: the same as tap by tap.
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1, 1);
    Signal long_x(5000), taps(61);
    for (float& v : long_x) v = u(rng);
    for (float& v : taps) v = u(rng);
    const Signal by_blocks = demod::filter(long_x, taps);
    const Signal short_x(long_x.begin(), long_x.begin() + 200);
    const Signal by_taps = demod::filter(short_x, taps);  // too short for the blocks
    for (std::size_t i = 0; i + 40 < by_taps.size(); ++i) ASSERT_NEAR(by_blocks[i], by_taps[i], 1e-3) << i;
    // Raising the rate keeps every sample where it was; a local mean takes offset away.
    const Signal up = demod::upsample(short_x, 4);
    for (std::size_t i = 20; i + 20 < short_x.size(); ++i) ASSERT_NEAR(up[4 * i], short_x[i], 0.02) << i;
    const Signal flat = demod::remove_local_mean(Signal(500, 3.0f), 50);
    for (float v : flat) ASSERT_NEAR(v, 0.0, 1e-5);
}

TEST(DemodTones, APilotDeepInNoiseIsFoundWholeAndMeasuredClosely) {
    const ByteVec data = with_checksum(0xFF, pattern_bytes(40, 5));
    for (const double sigma : {0.0, 0.5, 0.8}) {
        const Signal x = square_wave(block_hps(data, 3000), 0.7, sigma, 11);
        const std::vector<demod::Tone> tones =
            demod::find_tones(x, {1900 * kPerT, 3500 * kPerT, 1100 * kPerT, 200});
        ASSERT_FALSE(tones.empty()) << sigma;
        const demod::Tone& t = tones.front();
        EXPECT_NEAR(t.period, 2168 * kPerT, 0.01 * 2168 * kPerT) << sigma;
        // It ends where the pilot does, give or take the few edges noise blurs.
        const double pilot_end = 0.2 * kRate + 3000 * 2168 * kPerT;
        // Deep in noise the tone may break in two; the last part still ends where it should.
        const demod::Tone& last = tones.back();
        EXPECT_LT(std::fabs(last.end() - pilot_end), 30 * 2168 * kPerT) << sigma;
        if (sigma < 0.7) {
            EXPECT_GT(t.hps, 2900u) << sigma;
        }
    }
}

TEST(DemodChannel, AResponseMeasuredOnThePilotIsUndoneByTheEqualiser) {
    // The pilot through a one-pole low-pass at 1.5 kHz.
    Signal x = square_wave(std::vector<double>(2000, 2168.0), 0.7, 0.0, 1);
    const double k = 1.0 - std::exp(-2.0 * M_PI * 1500.0 / kRate);
    float y = 0.0f;
    for (float& v : x) v = y += static_cast<float>(k) * (v - y);
    const std::vector<demod::Tone> tones = demod::find_tones(x, {1900 * kPerT, 3500 * kPerT, 1100 * kPerT, 200});
    ASSERT_EQ(tones.size(), 1u);
    const demod::Channel c = demod::measure_channel(x, tones[0], tones[0].edge(100), tones[0].edge(1900));
    ASSERT_GE(c.response.size(), 3u);
    // The fundamental passes nearly whole, the fifth harmonic far less; the noise is nil.
    EXPECT_NEAR(std::abs(c.response[0]), 0.7 * 0.88, 0.05);
    EXPECT_LT(std::abs(c.response[2]), 0.5 * std::abs(c.response[0]));
    EXPECT_LT(c.noise, 0.05);
    // Equalised, the band of the bits comes out flat.
    const std::vector<float> taps = demod::equaliser(c, 855 * kPerT);
    std::vector<std::complex<double>> h(4096);
    for (std::size_t i = 0; i < taps.size(); ++i) h[i] = taps[i];
    demod::fft(h, false);
    for (const double f : {810.0, 1500.0, 2000.0}) {
        const auto bin = static_cast<std::size_t>(std::lround(f / kRate * 4096));
        const std::complex<double> overall = h[bin] * c.at(f / kRate);
        EXPECT_NEAR(std::abs(overall), 1.0, 0.15) << f;
    }
}

TEST(DemodBits, ABlockInNoiseIsReadWholeAndItsWrongBitsAreItsWeakest) {
    const ByteVec data = with_checksum(0xFF, pattern_bytes(300, 9));
    for (const double sigma : {0.0, 0.5, 0.7}) {
        const Signal x = square_wave(block_hps(data, 3220), 0.7, sigma, 21);
        const demod::Demodulation d = demod::demodulate(x, kRate);
        ASSERT_EQ(d.blocks.size(), 1u) << sigma;
        EXPECT_EQ(bytes_of(d.blocks[0].data), data) << sigma;
        for (const demod::DecidedBit& b : d.blocks[0].data.bits) ASSERT_GT(std::fabs(b.confidence), 0.0f);
    }
    // Deeper in noise a few bits go wrong: they are among the least confident.
    std::size_t readings = 0;
    for (unsigned seed = 1; seed <= 12; ++seed) {
        const Signal x = square_wave(block_hps(data, 3220), 0.7, 0.9, seed);
        const demod::Demodulation d = demod::demodulate(x, kRate);
        if (d.blocks.size() != 1) continue;
        const auto& bits = d.blocks[0].data.bits;
        std::vector<float> all, wrong;
        for (std::size_t i = 0; i < std::min(bits.size(), data.size() * 8); ++i) {
            const int truth = (data[i / 8] >> (7 - i % 8)) & 1;
            all.push_back(std::fabs(bits[i].confidence));
            if (bits[i].value != truth) wrong.push_back(std::fabs(bits[i].confidence));
        }
        if (wrong.empty() || wrong.size() > 10) continue;  // read whole, or not in step
        ++readings;
        std::sort(all.begin(), all.end());
        for (float c : wrong) EXPECT_LE(c, all[all.size() / 20]) << seed;
    }
    EXPECT_GT(readings, 0u);
}

// A reading that lost a bit ends in a part of a byte: no part of the block, but what the
// reading holds of its last byte, for a vote among recordings.
TEST(DemodBits, BitsPastTheLastWholeByteAreKeptApart) {
    const ByteVec data = with_checksum(0xFF, pattern_bytes(100, 3));
    std::vector<double> hps = block_hps(data, 3220);
    for (int bit : {1, 0, 1, 1, 0}) hps.insert(hps.end(), 2, bit ? 1710.0 : 855.0);
    const demod::Demodulation d = demod::demodulate(square_wave(hps, 0.7, 0.1, 4), kRate);
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(bytes_of(d.blocks[0].data), data);
    std::vector<int> past;
    for (const demod::DecidedBit& b : d.blocks[0].data.past) past.push_back(b.value);
    EXPECT_EQ(past, (std::vector<int>{1, 0, 1, 1, 0}));
}

// Deep in noise few of a block's bits are strong, and fewer still several in a row: the data
// is read to where its bits as a whole give way to noise, not to the last strong few.
TEST(DemodBits, AFastHeaderDeepInNoiseIsReadToItsEnd) {
    const ByteVec header = rom_header("ENDING", 3, 300);
    std::vector<double> hps = block_hps(header, 3220);
    for (double& hp : hps) hp *= 0.7;  // a turbo block: every bit has less of the signal
    int found = 0, whole = 0;
    for (unsigned seed = 1; seed <= 20; ++seed) {
        const demod::Demodulation d = demod::demodulate(square_wave(hps, 0.7, 0.8, seed), kRate);
        if (d.blocks.size() != 1) continue;
        ++found;
        whole += d.blocks[0].data.bits.size() >= header.size() * 8 ? 1 : 0;
    }
    EXPECT_GE(found, 15);
    EXPECT_GE(3 * whole, found) << whole << " of " << found;  // strong bits in a row: 3 of 20
}

// A header opens with two bytes of 0 bits, which read alike from the data's start and from
// half a bit either side of it: the start is told by the sync before it and by the whole of the
// bits after them.
TEST(DemodBits, AHeaderIsReadFromItsOwnStartDeepInNoise) {
    const ByteVec header = rom_header("START", 3, 1234);
    int whole = 0;
    for (unsigned seed = 1; seed <= 16; ++seed) {
        const Signal x = square_wave(block_hps(header, 1500), 0.7, 0.6, seed);
        const demod::Demodulation d = demod::demodulate(x, kRate);
        if (d.blocks.size() == 1 && bytes_of(d.blocks[0].data) == header) ++whole;
    }
    EXPECT_GE(whole, 15);
}

// A treble shelf of `gain_db` from `hz` (the audio cookbook's biquad, slope 1).
void treble_shelf(Signal& x, double gain_db, double hz, double rate) {
    const double A = std::pow(10.0, gain_db / 40.0), w = 2.0 * 3.14159265358979 * hz / rate;
    const double c = std::cos(w), alpha = std::sin(w) / 2.0 * std::sqrt(2.0), r = 2.0 * std::sqrt(A) * alpha;
    const double b0 = A * ((A + 1) + (A - 1) * c + r), b1 = -2 * A * ((A - 1) + (A + 1) * c), b2 = A * ((A + 1) + (A - 1) * c - r);
    const double a0 = (A + 1) - (A - 1) * c + r, a1 = 2 * ((A - 1) - (A + 1) * c), a2 = (A + 1) - (A - 1) * c - r;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (float& v : x) {
        const double y = (b0 * v + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2) / a0;
        x2 = x1, x1 = v, y2 = y1, y1 = y;
        v = static_cast<float>(y);
    }
}

// The tone finder may end a long pilot well before its end where noise is deep: the pilot is
// followed on to its end, not only to its first two weak half-periods in a row, and the data
// is read from its start, not from within the pilot.
TEST(DemodBits, APilotTheFinderEndedEarlyIsFollowedToItsEnd) {
    const ByteVec data = with_checksum(0xFF, pattern_bytes(40, 6));
    constexpr double kSpeed = 0.7;  // a turbo block's: short half-periods, each weighed over few samples
    std::vector<double> hps = block_hps(data, 3220);
    for (double& hp : hps) hp *= kSpeed;
    const double pilot = 2168.0 * kSpeed * kPerT;
    const double start = 0.2 * kRate + 3220 * pilot + (667.0 + 735.0) * kSpeed * kPerT;
    // As found: the pilot's first 2900 half-periods. Where the finder missed crossings it put
    // the edges where it expected them, and its last ones may have drifted off the tone (by
    // up to 0.3 of a half-period here).
    for (const bool drifted : {false, true}) {
        int from_start = 0;
        for (unsigned seed = 1; seed <= 24; ++seed) {
            const Signal x = square_wave(hps, 0.7, 0.9, seed);
            demod::Tone tone;
            tone.period = pilot;
            tone.first_edge = 0.2 * kRate;
            tone.polarity = -1;
            tone.hps = 2900;
            for (std::size_t j = 0; j <= tone.hps; ++j)
                tone.edges.push_back(tone.edge(j) + (drifted && j + 8 > tone.hps ? 0.3 * pilot * static_cast<double>(j + 8 - tone.hps) / 8.0 : 0.0));
            demod::BitSearch search;
            search.rate = kRate;
            search.amplitude = 0.7;
            const std::optional<demod::DataReading> r = demod::read_data(demod::PrefixSums(x), tone, search);
            if (r && std::fabs(r->start - start) < pilot) ++from_start;
        }
        // About as many as with the whole pilot handed over (drifted: 7 before the first edges
        // were sought wider).
        EXPECT_GE(from_start, 16) << drifted;
    }
}

// Where treble was lost and not wholly made up, long half-periods read louder than short
// ones, and a start within a header's opening zero bytes, with more 1 bits after it, fits its
// bits better than the true start does. The pilot at its full level behind the true end tells.
// (8 dB down, under noise as strong as 60 % of the signal's peak.)
TEST(DemodBits, AHeaderWithTrebleLostIsReadFromThePilotsEndNotFromWithinItsZeroBytes) {
    const ByteVec header = rom_header("DULL", 0, 6912);
    int whole = 0;
    for (unsigned seed = 1; seed <= 32; ++seed) {
        Signal x = square_wave(block_hps(header, 1500), 0.7 * 0.6, 0.0, seed, 0.25);
        treble_shelf(x, -8.0, 1500.0, kRate);
        std::mt19937 rng(seed);
        std::normal_distribution<double> noise(0.0, 0.25);
        for (float& v : x) v += static_cast<float>(noise(rng));
        const demod::Demodulation d = demod::demodulate(x, kRate);
        if (d.blocks.size() == 1 && bytes_of(d.blocks[0].data) == header) ++whole;
    }
    EXPECT_GE(whole, 26);  // 23 where the bits alone chose among the edges
}

TEST(DemodBits, AStretchTooWeakToReadIsReadThroughNotEnded) {
    const ByteVec data = with_checksum(0xFF, pattern_bytes(600, 2));
    Signal x = square_wave(block_hps(data, 3220), 0.7, 0.0, 1);
    // 40 ms down to 3 % in the middle of the data, under noise.
    const auto from = static_cast<std::size_t>((0.2 + (3220 * 2168 + 2000 * 1282.0 * 2) / 3.5e6) * kRate);
    for (std::size_t i = from; i < from + static_cast<std::size_t>(0.04 * kRate); ++i) x[i] *= 0.03f;
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 0.02);
    for (float& v : x) v += static_cast<float>(noise(rng));
    const demod::Demodulation d = demod::demodulate(x, kRate);
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(bytes_of(d.blocks[0].data), data);
}

// Deep in noise the edges a long fast block's bits imply are each far off, and around a slip
// many in a row are off one way: the bit clock keeps to the tape's speed through them and the
// block is read to its end, not lost where the clock has walked a tenth off.
TEST(DemodBits, ALongFastBlockDeepInNoiseIsReadInStepToItsEnd) {
    const ByteVec data = with_checksum(0xFF, pattern_bytes(1200, 5));
    std::vector<double> hps = block_hps(data, 3220);
    for (double& hp : hps) hp *= 0.7;
    const double end = 0.2 * kRate + std::accumulate(hps.begin(), hps.end(), 0.0) * kPerT;
    int to_end = 0;
    for (unsigned seed = 1; seed <= 6; ++seed) {
        const demod::Demodulation d = demod::demodulate(square_wave(hps, 0.7, 1.0, seed), kRate);
        for (const demod::FoundData& f : d.blocks) {
            // Within a hundredth of the block's length of its end: slips make the count of
            // bits a little off, a clock walked off ends it far earlier.
            if (std::fabs(f.data.end() - end) < 0.01 * (end - f.data.start)) ++to_end;
        }
    }
    EXPECT_GE(to_end, 5);  // with the clock walked off: none, each ending within its first 3000 bits
}

// The pilot the loaders are handed is a tone: edges that noise moved, or lost, or a tone that
// ended short of where the data's start showed the pilot ends, do not cut it short.
TEST(DemodBits, ThePilotHandedOnIsEvenToWhereItEnds) {
    demod::FoundData f;
    const double P = 27.0;
    f.tone.first_edge = 1000.0;
    f.tone.period = P;
    std::mt19937 rng(4);
    std::uniform_real_distribution<double> jitter(-0.2 * P, 0.2 * P);
    for (int j = 0; j < 2000; ++j)
        if (j < 900 || j > 940) f.tone.edges.push_back(1000.0 + j * P + jitter(rng));  // a burst took 40 away
    f.tone.hps = f.tone.edges.size() - 1;
    f.data.pilot_end = 1000.0 + 3000 * P;  // the tone was found to end 1000 half-periods early
    f.data.sync_middle = f.data.pilot_end + 9.0;
    f.data.start = f.data.pilot_end + 19.0;
    f.data.short_hp = 10.7;
    f.data.bits.push_back({f.data.start, f.data.start + 10.7, f.data.start + 21.4, 0, 50.0f});
    Recording around;
    around.count = 200000;
    around.sample_rate = 44100;
    demod::Demodulation d;
    d.blocks.push_back(f);
    const Recording levels = demod::decided_levels(d, around);
    ASSERT_GE(levels.edges.size(), 3001u);
    for (std::size_t i = 1; i <= 3000; ++i) {
        ASSERT_NEAR(levels.edges[i] - levels.edges[i - 1], P, 1.5) << i;
    }
    EXPECT_EQ(levels.edges[3000], std::lround(f.data.pilot_end));
}

TEST(DemodMending, OnlyWeakNeighboursReadTheWrongWayRoundChangeAndTheChecksumThenHolds) {
    const ByteVec data = with_checksum(0xFF, pattern_bytes(20, 3));
    demod::DataReading r;
    double t = 0.0;
    for (std::uint8_t b : data)
        for (int k = 7; k >= 0; --k) {
            const int v = (b >> k) & 1;
            const double units = v ? 2.0 : 1.0;
            r.bits.push_back({t, t + units * 10.0, t + 2 * units * 10.0, v, 50.0f});
            t += 2 * units * 10.0;
        }
    // The first pair of unlike neighbours from bit `from` on.
    const auto unlike_pair = [&](std::size_t from) {
        while (r.bits[from].value == r.bits[from + 1].value) ++from;
        return from;
    };
    // Two such pairs, in bytes 5 and 12, read the wrong way round, and weakly.
    const std::size_t a = unlike_pair(5 * 8), b = unlike_pair(12 * 8);
    ASSERT_NE(a % 8, b % 8);
    ASSERT_NE((a + 1) % 8, b % 8);
    ASSERT_NE(a % 8, (b + 1) % 8);
    for (std::size_t k : {a, a + 1, b, b + 1}) {
        change_bit(r, k);
        r.bits[k].confidence = 2.0f;
    }
    const ByteVec read = bytes_of(r);
    ASSERT_NE(read, data);
    std::vector<std::size_t> mend = bits_to_mend(read, r);
    std::sort(mend.begin(), mend.end());
    EXPECT_EQ(mend, (std::vector<std::size_t>{a, a + 1, b, b + 1}));
    demod::DataReading mended = r;
    for (std::size_t k : mend) change_bit(mended, k);
    EXPECT_EQ(bytes_of(mended), data);
    // The bits keep their order and their lengths after a change.
    for (std::size_t i = 1; i < mended.bits.size(); ++i) ASSERT_DOUBLE_EQ(mended.bits[i].start, mended.bits[i - 1].end);
    // Confident bits are never changed, nor two weak ones of one place where neither is the weaker.
    r.bits[a].confidence = 40.0f;
    EXPECT_TRUE(bits_to_mend(read, r).empty());
    // Nor is one weak bit alone, which would move every bit after it off the signal's edges.
    demod::DataReading one = mended;
    change_bit(one, 7 * 8 + 2);
    one.bits[7 * 8 + 2].confidence = 2.0f;
    EXPECT_TRUE(bits_to_mend(bytes_of(one), one).empty());
}

// A TAP file of the blocks.
ByteVec tap_of(std::initializer_list<ByteVec> blocks) {
    ByteVec tap;
    for (const ByteVec& b : blocks) tap::put_record(tap, b);
    return tap;
}

// A pilot tone read on as data is bytes of all 1s, an even number of which check out: no block
// to keep in the way of the block after it. A block of the same bytes at a 1 bit's own length
// (a screen filled with ink) is one.
TEST(DemodMending, APilotReadAsBitsIsNoBlockButTheSameBytesAtDataSpeedAre) {
    DecodedBlock b;
    b.counted = true;
    b.loader = loader_named("rom");
    b.data.assign(400, 0xFF);
    b.last_byte_bits = 8;
    b.timings.pilot_pulse = 2168;
    for (const std::int32_t bit1 : {2168, 2000, 1938}) {
        b.timings.bit1 = bit1;
        EXPECT_TRUE(pilot_read_as_bits(b)) << bit1;
    }
    b.timings.bit1 = 1710;
    EXPECT_FALSE(pilot_read_as_bits(b));
    b.timings.bit1 = 2168;
    std::fill(b.data.begin(), b.data.begin() + 100, std::uint8_t{0x5A});
    EXPECT_FALSE(pilot_read_as_bits(b));
}

// The tape a conversion reads from a clean recording of one block.
FoundTape tape_read_from(const ByteVec& block) {
    ImageBuilder image;
    image.standard(block, 1000);
    auto cx = fresh_context();
    EXPECT_TRUE(load_sample_bytes(*cx, render(image.bytes())));
    FoundTape tape;
    ConversionHooks hooks;
    hooks.found = &tape;
    run_conversion(*cx, hooks);
    return tape;
}

// A header read from two bits before its start (two of the opening zero bits more, its last two
// lost) or one bit after it (its first zero bit lost, a 0 of what follows taken in), which
// checks out all the same, announcing another length: the block after it tells which start
// is the header's.
TEST(DemodMending, AHeaderReadFromABitOrTwoOffItsStartIsReadFromItsStartWhenTheBlockAfterItSaysSo) {
    // A block as a conversion reads it, with other bytes put in.
    const DecodedBlock read_well = [] {
        for (const FoundPilot& f : tape_read_from(rom_header("ANY", 3, 10)))
            if (f.block && f.block->block.counted) return f.block->block;
        return DecodedBlock{};
    }();
    ASSERT_NE(read_well.loader, nullptr);
    const auto block_of = [&](const ByteVec& bytes) { return read_well.loader->with_bytes(read_well, bytes); };
    // A reading `shift` bits later than the header's start (earlier where negative), bits
    // before the header 0 and those after it `after`.
    const auto read_from = [](const ByteVec& header, int shift, int after) {
        ByteVec out(header.size(), 0);
        const auto n = static_cast<int>(header.size() * 8);
        for (int i = 0; i < n; ++i) {
            const int k = i + shift;
            const int bit = k < 0 ? 0 : k >= n ? after : bit_of(header, static_cast<std::size_t>(k));
            out[static_cast<std::size_t>(i / 8)] |= static_cast<std::uint8_t>(bit << (7 - i % 8));
        }
        return out;
    };
    for (const auto& [shift, after] : {std::pair{-2, 0}, std::pair{1, 0}}) {
        // A name for which the reading from that start checks out.
        ByteVec header, read;
        for (char c = 'A'; c <= 'Z'; ++c) {
            header = rom_header(std::string("SHIFT") + c, 3, 700);
            read = read_from(header, shift, after);
            if (block_checks_out(block_of(read))) break;
        }
        const DecodedBlock wrong = block_of(read);
        ASSERT_TRUE(block_checks_out(wrong)) << shift;
        ASSERT_NE(wrong.loader->announces(wrong), 702) << shift;
        const std::optional<HeaderFromItsStart> mended = header_from_its_start(wrong, 702);
        ASSERT_TRUE(mended) << shift;
        EXPECT_EQ(mended->block.data, header);
        EXPECT_EQ(mended->shift, -shift);
        // Where the block after it has the length it announces, or one no start gives, it stays.
        EXPECT_FALSE(header_from_its_start(wrong, wrong.loader->announces(wrong)));
        EXPECT_FALSE(header_from_its_start(wrong, 1234));
    }
}

// A mono 16-bit WAV file of a signal.
ByteVec wav_of(const Signal& x, std::uint32_t rate = 44100) {
    ByteVec w;
    auto le = [&w](std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) w.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    const auto data = static_cast<std::uint32_t>(2 * x.size());
    w.insert(w.end(), {'R', 'I', 'F', 'F'});
    le(36 + data, 4);
    w.insert(w.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    le(16, 4), le(1, 2), le(1, 2), le(rate, 4), le(2 * rate, 4), le(2, 2), le(16, 2);
    w.insert(w.end(), {'d', 'a', 't', 'a'});
    le(data, 4);
    for (float v : x) le(static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp(v, -1.0f, 1.0f) * 32767.0f)), 2);
    return w;
}

// Where the other readings find no block after a header but the demodulator reads one that
// fails, the block is kept, bad, and the conversion says so: the image holds what the
// recording has of it (and a merge of recordings votes with it), where it once held the
// header alone and reported every block good.
TEST(DemodConvert, ABlockOnlyTheDemodulatorFindsIsKeptThoughItFails) {
    const ByteVec header = rom_header("DEEP", 3, 400), data = with_checksum(0xFF, pattern_bytes(400, 8));
    Signal x = square_wave(block_hps(header, 8064), 0.7, 0.02, 1, 0.5);
    const Signal deep = square_wave(block_hps(data, 3220), 0.7, 0.9, 1, 0.5);
    x.insert(x.end(), deep.begin(), deep.end());
    TempDir dir;
    dir.write("deep.wav", wav_of(x));
    const ToolRun r = kvrtool("convert -f " + dir.path("deep.wav") + " -o " + dir.path("out.tap"));
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_NE(r.out.find("still bad: 1"), std::string::npos) << r.out;
    const ByteVec tap = dir.read("out.tap");
    const ByteVec first = tap_of({header});
    ASSERT_GT(tap.size(), first.size() + 2);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), tap.begin()));
    const std::size_t length = tap[first.size()] | tap[first.size() + 1] << 8;
    EXPECT_EQ(tap.size(), first.size() + 2 + length);
    EXPECT_GE(length, data.size() / 2);
    EXPECT_EQ(tap[first.size() + 2], 0xFF);
}

TEST(DemodConvert, BlocksDeepInNoiseAreRecoveredWhereTheOtherReadingsFail) {
    const ByteVec header = rom_header("NOISY", 3, 400), data = with_checksum(0xFF, pattern_bytes(400, 8));
    std::vector<double> hps = block_hps(header, 8064);
    for (int i = 0; i < 2000; ++i) hps.push_back(1e6 / 2000);  // a pause of one second, near silent
    const std::vector<double> second = block_hps(data, 3220);
    hps.insert(hps.end(), second.begin(), second.end());
    TempDir dir;
    dir.write("noisy.wav", wav_of(square_wave(hps, 0.7, 0.6, 5)));
    const ToolRun r = kvrtool("convert -f " + dir.path("noisy.wav") + " -o " + dir.path("out.tap"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("recovered with the demodulator"), std::string::npos) << r.out;
    const ByteVec tap = dir.read("out.tap");
    const ByteVec want = tap_of({header, data});
    EXPECT_EQ(tap, want) << r.out;
}

// At a low rate a half-period is a few samples, and the demodulator's edges, decided between
// them, are handed on at a finer rate than the recording's: rounded to its samples, a run of
// 0 bits would measure as bits of two lengths.
TEST(DemodConvert, BlocksRecordedAtALowRateAreReadAtTheLengthsDecided) {
    const ByteVec header = rom_header("SLOWLY", 3, 200), data = with_checksum(0xFF, pattern_bytes(200, 4));
    std::vector<double> hps = block_hps(header, 3000);
    for (int i = 0; i < 1000; ++i) hps.push_back(1e6 / 1000);
    const std::vector<double> second = block_hps(data, 3000);
    hps.insert(hps.end(), second.begin(), second.end());
    // Each six samples averaged: a capture at 7350 Hz.
    const Signal fine = square_wave(hps, 0.7, 0.05, 3);
    Signal x(fine.size() / 6);
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = std::accumulate(fine.begin() + static_cast<std::ptrdiff_t>(6 * i), fine.begin() + static_cast<std::ptrdiff_t>(6 * i + 6), 0.0f) / 6.0f;
    TempDir dir;
    dir.write("slow.wav", wav_of(x, 7350));
    const ToolRun r = kvrtool("convert " + dir.path("slow.wav") + " -o " + dir.path("out.tap"));
    EXPECT_EQ(r.status, 0) << r.out;
    const ByteVec want = tap_of({header, data});
    EXPECT_EQ(dir.read("out.tap"), want) << r.out;
}

// A block read on past the length its header announced, into the noise after it: read whole
// where the announced bytes check out, as the machine would load it; left alone otherwise.
TEST(DemodConvert, ABlockReadOnIntoNoiseIsReadAtItsAnnouncedLength) {
    const ByteVec header = rom_header("RUNON", 3, 300), data = with_checksum(0xFF, pattern_bytes(300, 9));
    ByteVec longer = data;
    longer.push_back(0x5A);  // a byte of noise after the block

    // The cut itself: only a bad block a few bytes too long whose announced bytes check out.
    const FoundTape read = tape_read_from(longer);
    ASSERT_FALSE(read.empty());
    ASSERT_TRUE(read.front().block.has_value());
    const DecodedBlock& b = read.front().block->block;
    ASSERT_EQ(b.data, longer);
    const std::optional<DecodedBlock> cut = without_run_on(b, 302);
    ASSERT_TRUE(cut.has_value());
    EXPECT_EQ(cut->data, data);
    EXPECT_TRUE(block_checks_out(*cut));
    EXPECT_FALSE(without_run_on(b, -1).has_value());   // nothing announced
    EXPECT_FALSE(without_run_on(b, 303).has_value());  // not longer than announced
    EXPECT_FALSE(without_run_on(b, 302 - static_cast<std::int32_t>(kMostRunOnBytes)).has_value());  // too far past it
    EXPECT_FALSE(without_run_on(b, 200).has_value());  // those bytes do not check out

    // The conversion: kelvarin keeps every byte read, kvrtool convert the announced ones.
    ImageBuilder image;
    image.standard(header, 1000);
    image.standard(longer, 1000);
    TempDir dir;
    dir.write("runon.wav", render(image.bytes()));
    const ToolRun r = kvrtool("convert -f " + dir.path("runon.wav") + " -o " + dir.path("out.tap"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Retry: recovered with the announced length (the 1 byte after it read from noise)"), std::string::npos)
        << r.out;
    const ByteVec want = tap_of({header, data});
    EXPECT_EQ(dir.read("out.tap"), want) << r.out;
    const ToolRun classic = kvrtool("convert --exact -f " + dir.path("runon.wav") + " -o " + dir.path("exact.tap"));
    EXPECT_EQ(dir.read("exact.tap").size(), want.size() + 1) << classic.out;
}

}  // namespace
}  // namespace kvr::test
