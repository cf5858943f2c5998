// The recording as edges: the builder against every sample, the cursor against a walk over
// samples, the pair summary against a plain search, and the recordings whose sample count
// is out of all proportion to their size.
#include <algorithm>
#include <cstring>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "analysis/pair_spans.hpp"
#include "core/wide.hpp"
#include "input/edge_feed.hpp"
#include "input/pcm_levels.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

// Samples of random HP lengths from 1 to `longest`, with values of either sign near 0.
SampleVector random_samples(std::size_t n, int longest, unsigned seed) {
    std::mt19937 rng(seed);
    SampleVector s;
    bool low = rng() & 1;
    while (s.size() < n) {
        const auto hp = static_cast<std::size_t>(1 + static_cast<int>(rng() % static_cast<unsigned>(longest)));
        for (std::size_t i = 0; i < hp && s.size() < n; ++i)
            s.push_back(static_cast<std::int8_t>(low ? -1 - static_cast<int>(rng() % 128) : static_cast<int>(rng() % 128)));
        low = !low;
    }
    return s;
}

// The edges by definition: every sample whose sign differs from the one before.
std::vector<std::int32_t> plain_edges(const SampleVector& s) {
    std::vector<std::int32_t> e;
    for (std::size_t i = 1; i < s.size(); ++i)
        if ((s[i] < 0) != (s[i - 1] < 0)) e.push_back(static_cast<std::int32_t>(i));
    return e;
}

std::vector<std::int32_t> edges_of(const Recording& r) { return {r.edges.begin(), r.edges.end()}; }

// A 16-bit stereo WAV file whose frames mix to the given samples (both channels alike).
ByteVec wav16s(const SampleVector& s) {
    const auto data = static_cast<std::uint32_t>(s.size() * 4);
    ByteVec f(44 + data);
    auto le = [&](std::size_t at, std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) f[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    std::memcpy(f.data(), "RIFF", 4);
    le(4, 36 + data, 4);
    std::memcpy(f.data() + 8, "WAVEfmt ", 8);
    le(16, 16, 4);
    le(20, 1, 2);
    le(22, 2, 2);
    le(24, 44100, 4);
    le(28, 44100 * 4, 4);
    le(32, 4, 2);
    le(34, 16, 2);
    std::memcpy(f.data() + 36, "data", 4);
    le(40, data, 4);
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto v = static_cast<std::uint16_t>(s[i] * 256 + 17);
        le(44 + 4 * i, v, 2);
        le(46 + 4 * i, v, 2);
    }
    return f;
}

TEST(EdgeBuilder, AnySplitOfTheSamplesGivesTheSameEdges) {
    const SampleVector s = random_samples(20000, 40, 1);
    const std::vector<std::int32_t> want = plain_edges(s);
    std::mt19937 rng(2);
    for (int round = 0; round < 20; ++round) {
        Recording r;
        EdgeBuilder b(r);
        for (std::size_t at = 0; at < s.size();) {
            const std::size_t n = std::min<std::size_t>(s.size() - at, rng() % 100);
            ASSERT_TRUE(b.samples(s.data() + at, n));
            at += n;
        }
        EXPECT_EQ(edges_of(r), want);
        EXPECT_EQ(r.count, 20000);
        EXPECT_EQ(r.first_low, s[0] < 0);
    }
    // Runs of one level, as CSW pulses give them: a run at the level before it is no edge.
    Recording r;
    EdgeBuilder b(r);
    ASSERT_TRUE(b.run(true, 5));
    ASSERT_TRUE(b.run(false, 3));
    ASSERT_TRUE(b.run(false, 2));
    ASSERT_TRUE(b.run(true, 0));
    ASSERT_TRUE(b.run(true, 1));
    EXPECT_EQ(edges_of(r), (std::vector<std::int32_t>{5, 10}));
    EXPECT_TRUE(r.first_low);
    EXPECT_EQ(r.count, 11);
    // No recording may pass the largest sample count.
    EXPECT_FALSE(b.run(false, INT32_MAX));
}

TEST(EdgeBuilder, SoundDataReadInParallelPiecesJoinsWithoutASeam) {
    // Over 8 MB of sound data is read in pieces on several threads. Long HPs make many
    // pieces meet inside an HP, at both levels; short ones make them meet at an edge.
    for (const int longest : {3, 5000}) {
        const SampleVector s = random_samples(std::size_t{5} << 20, longest, static_cast<unsigned>(longest));
        const ByteVec file = wav16s(s);
        Recording r;
        EdgeBuilder b(r);
        SampleInfo info;
        ASSERT_EQ(read_wav(file, info, b), LOAD_OK);
        EXPECT_EQ(r.count, static_cast<std::int32_t>(s.size()));
        EXPECT_EQ(r.first_low, s[0] < 0);
        EXPECT_TRUE(edges_of(r) == plain_edges(s)) << "longest HP " << longest;
    }
}

// Random PCM bytes of a layout, and the levels the classic conversion gives their frames.
struct PcmCase {
    PcmFormat format;
    std::vector<std::uint8_t> bytes;
    std::vector<bool> low;
};

PcmCase random_pcm(const PcmFormat& format, std::size_t frames, std::mt19937& rng) {
    PcmCase c{format, std::vector<std::uint8_t>(frames * format.frame_bytes() + 1), {}};
    // Long runs of one level as well as noise, so that edges are both dense and sparse.
    for (std::size_t i = 0; i < c.bytes.size(); ++i)
        c.bytes[i] = static_cast<std::uint8_t>(i % 512 < 256 ? rng() : (i % 1024 < 512 ? 0x10 : 0xF0));
    std::vector<std::int8_t> samples(frames);
    convert_pcm_samples(c.bytes.data(), samples.data(), frames, format);
    for (const std::int8_t v : samples) c.low.push_back(v < 0);
    return c;
}

TEST(PcmLevels, EveryLayoutGivesTheLevelOfItsConvertedSampleAndItsEdges) {
    std::mt19937 rng(11);
    std::vector<PcmFormat> formats;
    for (const std::uint32_t bits : {8u, 16u, 24u, 32u})
        for (const std::uint32_t channels : {1u, 2u, 3u}) formats.push_back({bits, channels, false});
    formats.push_back({32, 1, true});
    formats.push_back({32, 2, true});
    for (const PcmFormat& format : formats) {
        for (const std::size_t frames : {0u, 1u, 63u, 64u, 65u, 1000u, 4099u}) {
            const PcmCase c = random_pcm(format, frames, rng);
            for (const wide::Width width : {wide::Width::avx512, wide::Width::avx2, wide::Width::plain}) {
                std::vector<std::uint64_t> words((frames + 63) / 64 + 1, ~0ULL);
                wide::limit(width);
                pcm_low_bits(c.bytes.data(), frames, format, words.data());
                wide::limit(wide::Width::avx512);
                for (std::size_t i = 0; i < frames; ++i)
                    ASSERT_EQ((words[i / 64] >> (i % 64) & 1) != 0, c.low[i])
                        << format.bits << " bits, " << format.channels << " channels, frame " << i << " width "
                        << static_cast<int>(width);
                if (frames % 64 != 0) {
                    EXPECT_EQ(words[frames / 64] >> (frames % 64), 0u) << "bits past the end";
                }

                // The edges of the words, read in pieces of whole words from any level before.
                std::vector<std::int32_t> got(frames + 1), want;
                const bool before = (rng() & 1) != 0;
                for (std::size_t i = 0; i < frames; ++i)
                    if (c.low[i] != (i == 0 ? before : c.low[i - 1])) want.push_back(static_cast<std::int32_t>(i + 5));
                bool low = before;
                std::int32_t* out = got.data();
                for (std::size_t at = 0; at < frames;) {
                    const std::size_t n = std::min(frames - at, 64 * (1 + rng() % 3));
                    out = edges_from_bits(words.data() + at / 64, n, static_cast<std::int64_t>(at + 5), low, out);
                    at += n;
                }
                got.resize(static_cast<std::size_t>(out - got.data()));
                EXPECT_EQ(got, want) << format.bits << " bits, " << format.channels << " channels, " << frames;
                EXPECT_EQ(low, frames == 0 ? before : c.low.back());
            }
        }
    }
}

TEST(EdgeFeed, ACursorFollowingEdgesAsTheyAreReadMeasuresAsOnTheWholeRecording) {
    const SampleVector s = random_samples(300000, 25, 12);
    const Recording whole = recording_of(s, 44100);
    for (const bool cut_short : {false, true}) {
        // The edges come in stretches of random length, on another thread; cut short, the
        // reading stops after half of them, and the rest of the recording reads as one level.
        const std::size_t last = cut_short ? whole.edges.size() / 2 : whole.edges.size();
        EdgeFeed feed;
        feed.open(whole.edges.data());
        std::thread reader([&] {
            std::mt19937 rng(13);
            for (std::size_t ready = 0; ready < last;) {
                ready = std::min(last, ready + rng() % 3000);
                feed.publish(ready);
                std::this_thread::yield();
            }
            feed.close();
        });
        Recording following;
        following.count = whole.count;
        following.sample_rate = whole.sample_rate;
        following.feed = &feed;
        Recording known = whole;
        known.edges.resize(last);
        const EdgeView view_a(following), view_b(known);
        HpCursor a(view_a), b(view_b);
        std::mt19937 rng(14);
        for (int i = 0; i < 20000; ++i) {
            // Steps forward, give-backs, jumps either way and skips of pairs.
            const int kind = static_cast<int>(rng() % 8);
            if (kind == 0) a.pos = b.pos = std::max(-3, a.pos - static_cast<std::int32_t>(rng() % 60));
            if (kind == 1) a.pos = b.pos = static_cast<std::int32_t>(rng() % s.size());
            if (kind == 2) {
                const auto most = static_cast<std::int32_t>(rng() % 40);
                a.skip_pairs_within(0, most);
                b.skip_pairs_within(0, most);
            }
            ASSERT_EQ(a.measure(), b.measure()) << "at " << b.pos;
            ASSERT_EQ(a.pos, b.pos);
        }
        // Pairs passed over in a long run are looked up in a summary of all the edges, and
        // the cursor ends where passing them one by one ends.
        a.pos = b.pos = 1000;
        a.measure(), b.measure();
        const auto& e = known.edges;
        auto i = static_cast<std::size_t>(std::lower_bound(e.begin(), e.end(), b.pos) - e.begin());
        while (i + 2 < e.size() && e[i + 2] - e[i] <= 1000) i += 2;
        a.skip_pairs_within(0, 1000);
        b.skip_pairs_within(0, 1000);
        EXPECT_EQ(b.pos, e[i]);
        EXPECT_EQ(a.pos, b.pos);
        EXPECT_EQ(a.cur, b.cur);
        EXPECT_EQ(a.prev, b.prev);
        reader.join();
    }
}

TEST(EdgeBuilder, EdgesHandedOnStayReadableAfterTheReadFails) {
    const SampleVector s = random_samples(std::size_t{3} << 20, 40, 15);
    const ByteVec file = wav16s(s);
    Recording r;
    EdgeFeed feed;
    EdgeBuilder b(r);
    b.feed(&feed);
    SampleInfo info;
    ASSERT_EQ(read_wav(file, info, b), LOAD_OK);
    feed.close();
    ASSERT_TRUE(feed.wait_open());
    EXPECT_EQ(feed.edges(), r.edges.data());
    EXPECT_EQ(feed.progress().ready, r.edges.size());
    const std::vector<std::int32_t> want = edges_of(r);
    // A load step that fails after reading (the file was cut short) clears the recording;
    // the edges the analysis may still be reading live on in the feed.
    b.clear();
    EXPECT_TRUE(r.edges.empty());
    EXPECT_TRUE(std::equal(want.begin(), want.end(), feed.edges()));
}

TEST(Recording, LevelsAndSlices) {
    const SampleVector s = random_samples(3000, 30, 3);
    const Recording r = recording_of(s, 44100);
    for (std::int32_t at = 0; at < 3000; at += 7) ASSERT_EQ(r.low_at(at), s[static_cast<std::size_t>(at)] < 0) << at;
    for (const auto& [from, to] : {std::pair{0, 3000}, std::pair{100, 101}, std::pair{517, 2999}, std::pair{40, 40}}) {
        const Recording part = r.slice(from, to);
        const SampleVector want(s.begin() + from, s.begin() + to);
        EXPECT_EQ(part.count, to - from);
        EXPECT_EQ(edges_of(part), plain_edges(want)) << from << ".." << to;
        if (to > from) {
            EXPECT_EQ(part.first_low, want[0] < 0);
        }
    }
}

TEST(HpCursor, MeasuresFromAnyPositionForwardsAndBack) {
    const SampleVector s = random_samples(50000, 25, 4);
    const Recording r = recording_of(s, 44100);
    const EdgeView view(r);
    HpCursor c(view);
    auto plain_hp = [&](std::int32_t from) {
        std::int32_t end = from + 1;
        while (end < 50000 && (s[static_cast<std::size_t>(end)] < 0) == (s[static_cast<std::size_t>(from)] < 0)) ++end;
        return from >= 50000 ? 0 : end - from;
    };
    std::mt19937 rng(5);
    for (int i = 0; i < 20000; ++i) {
        // Steps forward, small steps back (give-backs), long jumps either way, and skips of
        // pairs, which leave the cursor's search where a step forward does not look first.
        const int kind = static_cast<int>(rng() % 5);
        if (kind == 0) c.pos = static_cast<std::int32_t>(rng() % 50010);
        if (kind == 1) c.pos = std::max(-3, c.pos - static_cast<std::int32_t>(rng() % 60));
        if (kind == 2) c.skip_pairs_within(0, static_cast<std::int32_t>(rng() % 40));
        const std::int32_t from = std::max(0, c.pos);
        const std::int32_t want = plain_hp(from);
        ASSERT_EQ(c.measure(), want) << "from " << from;
        ASSERT_EQ(c.pos, std::min(50000, from + std::max(want, 0)));
        ASSERT_EQ(c.hp_start, from);
    }
}

TEST(PairSpans, FindsTheFirstPairOutsideAsAPlainSearchDoes) {
    std::mt19937 rng(6);
    for (const std::size_t n : {0u, 2u, 3u, 66u, 67u, 70u, 75u, 5000u}) {
        // Spans of 8 mostly, a few of other lengths scattered; leaves whole and cut short.
        std::vector<std::int32_t> edges;
        std::int32_t at = 1;
        for (std::size_t i = 0; i < n; ++i) edges.push_back(at += (rng() % 97 == 0) ? 1 + static_cast<std::int32_t>(rng() % 9) : 4);
        const PairSpans spans(edges.data(), edges.size());
        for (int q = 0; q < 400; ++q) {
            const std::size_t first = n == 0 ? 0 : rng() % n;
            const std::int32_t lo = 6 + static_cast<std::int32_t>(rng() % 3), hi = lo + static_cast<std::int32_t>(rng() % 4);
            std::size_t want = first;
            while (want + 2 < n && edges[want + 2] - edges[want] >= lo && edges[want + 2] - edges[want] <= hi) want += 2;
            ASSERT_EQ(spans.first_outside(first, lo, hi), want) << n << " edges, from " << first;
        }
    }
}

TEST(BitReference, PassingOverEqualPairsGivesTheAnswerOfTheLiteralSearch) {
    // Groups of 60 HPs of 4 samples and a pair of 1 and 7: no pair ever differs, so the
    // search runs to the end of the recording; and mixes with pairs that do differ.
    const std::vector<std::vector<std::int32_t>> groups = {{4, 4}, {1, 7}, {4, 4, 4, 4, 9, 9}, {4, 5, 3, 4}};
    std::mt19937 rng(7);
    for (int round = 0; round < 40; ++round) {
        std::vector<std::int32_t> hps;
        for (int g = 0; g < 300; ++g) {
            const auto& group = groups[rng() % (round < 10 ? 2 : groups.size())];
            const int repeat = 1 + static_cast<int>(rng() % 40);
            for (int k = 0; k < repeat; ++k) hps.insert(hps.end(), group.begin(), group.end());
        }
        HpTape fast(hps), literal(hps);
        const std::int32_t start = static_cast<std::int32_t>(rng() % 200);
        fast.cursor.pos = literal.cursor.pos = start;
        fast.settings.bit_difference_pct = literal.settings.bit_difference_pct = static_cast<std::int32_t>(rng() % 60);
        const BitRefs got = measure_bit_refs(fast.cursor, fast.settings);
        // The search as it reads, pair by pair.
        HpCursor& c = literal.cursor;
        c.cur = c.measure();
        c.prev = c.measure();
        const std::int32_t first = mean_down(c.cur, c.prev);
        std::int32_t pair_mean;
        do {
            c.cur = c.measure();
            c.prev = c.measure();
            pair_mean = mean_down(c.cur, c.prev);
        } while (percent_diff(pair_mean, first) <= literal.settings.bit_difference_pct && c.pos < c.count());
        EXPECT_EQ(got.bit0, std::min(first, pair_mean)) << "round " << round;
        EXPECT_EQ(got.bit1, std::max(first, pair_mean)) << "round " << round;
        EXPECT_EQ(fast.cursor.pos, c.pos) << "round " << round;
        EXPECT_EQ(fast.cursor.cur, c.cur);
        EXPECT_EQ(fast.cursor.prev, c.prev);
        EXPECT_EQ(fast.cursor.hp_start, c.hp_start);
    }
}

TEST(HugeRecordings, ManySamplesInFewBytesCostOnlyTheirEdges) {
    // A 37-byte CSW file whose one pulse lasts 2^31 - 1 samples.
    ByteVec csw(32, 0);
    std::memcpy(csw.data(), "Compressed Square Wave\x1A", 23);
    csw[23] = 1;
    csw[24] = 1;
    csw[25] = 0x44;  // 44100 Hz
    csw[26] = 0xAC;
    csw[27] = 1;
    for (std::uint8_t b : {0x00, 0xFF, 0xFF, 0xFF, 0x7F}) csw.push_back(b);
    auto cx = fresh_context();
    ASSERT_TRUE(load_sample_bytes(*cx, csw));
    EXPECT_EQ(cx->recording.count, INT32_MAX);
    EXPECT_TRUE(cx->recording.edges.empty());
    EXPECT_EQ(convert(csw).blocks, 0);

    // A VOC file whose nested repeat blocks play one 120-byte block 655,350 times: 79
    // million samples, two edges each time.
    ByteVec voc(26, 0);
    std::memcpy(voc.data(), "Creative Voice File\x1A", 20);
    const std::uint16_t version = 0x010A, check = static_cast<std::uint16_t>(~version + 0x1234);
    for (auto [at, v] : {std::pair{20, std::uint16_t{26}}, std::pair{22, version}, std::pair{24, check}}) {
        voc[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(v);
        voc[static_cast<std::size_t>(at) + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    const ByteVec blocks = {6, 2, 0, 0, 0xFF, 0xFF, 6, 2, 0, 0, 10, 0, 1, 122, 0, 0, 256 - 23, 0};
    voc.insert(voc.end(), blocks.begin(), blocks.end());
    voc.insert(voc.end(), 60, 0x40);
    voc.insert(voc.end(), 60, 0xC0);
    for (std::uint8_t b : {7, 0, 0, 0, 7, 0, 0, 0, 0}) voc.push_back(b);
    ASSERT_EQ(voc.size(), 173u);
    cx = fresh_context();
    ASSERT_TRUE(load_sample_bytes(*cx, voc));
    EXPECT_EQ(cx->recording.count, 65535 * 10 * 120);
    EXPECT_EQ(cx->recording.edges.size(), 65535u * 10 * 2 - 1);
}

}  // namespace
}  // namespace kvr::test
