#include "run/merge_captures.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "core/byte_bits.hpp"
#include "loaders/loader.hpp"
#include "recovery/header_start.hpp"
#include "recovery/retry.hpp"
#include "run/aligned_vote.hpp"

namespace kvr {

namespace {

// The runs of kWindowBits bits a reading holds, at every bit, sorted; runs of one value (a
// pilot tone read as bits) left out. Two readings of one block share most of them even where
// one lost or gained bits (which shifts every byte after), readings of different bytes
// hardly any.
constexpr int kWindowBits = 24;
constexpr std::size_t kWindowedBytes = 8192, kShiftedBytes = 512;
std::vector<std::uint32_t> windows_of(const std::vector<std::uint8_t>& bytes, std::size_t most_bytes = kWindowedBytes) {
    constexpr std::uint32_t kOnes = (1u << kWindowBits) - 1;
    const std::size_t n = std::min(bytes.size(), most_bytes) * 8;
    std::vector<std::uint32_t> out;
    std::uint32_t w = 0;
    for (std::size_t i = 0; i < n; ++i) {
        w = ((w << 1) | static_cast<std::uint32_t>(bit_of(bytes, i))) & kOnes;
        if (i + 1 >= kWindowBits && w != 0 && w != kOnes) out.push_back(w);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

double shared_share(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    if (a.empty() || b.empty()) return 0.0;
    std::size_t found = 0;
    for (std::uint32_t w : b) found += std::binary_search(a.begin(), a.end(), w) ? 1 : 0;
    return static_cast<double>(found) / static_cast<double>(b.size());
}

// A block of one of the recordings: tape[entry] of captures[capture].
struct Reading {
    std::size_t capture = 0, entry = 0;
};

// What of a block the matching looks at.
struct Block {
    Reading at;
    const DecodedBlock* block = nullptr;
    bool good = false;
    std::int32_t announced = -1;  // the length the header before it announced
    float pause = 0.0f;           // after it, in its own recording
    // What it votes with where no reading checks out: the demodulator's reading of it when
    // there is one, else its bytes; and how sure each bit is (none: as sure as kPlainWeight).
    const std::vector<std::uint8_t>* ballot = nullptr;
    const std::vector<float>* confidence = nullptr;
    std::size_t bits = 0;  // of the ballot: a demodulator's reading may end in a part of a byte
    // The runs of bits of the ballot's first kShiftedBytes, where it holds kTellingBytes.
    std::shared_ptr<const std::vector<std::uint32_t>> runs;
    // It checks out but lies within a block another recording read: a stretch of that block
    // read as one of its own (see inside_anothers_block). It neither stands for its slot nor votes.
    bool fragment = false;
    bool stands() const { return good && !fragment; }
};

struct Slot {
    std::vector<Block> readings;
    const Block& representative() const {
        for (const Block& b : readings)
            if (b.stands()) return b;
        return readings.front();
    }
};

constexpr double kGap = -0.5;       // a block one recording lacks
constexpr double kNoMatch = -1e9;   // blocks of different kinds never match
// Two readings are compared on their first bytes, if they have enough: readings of one block
// share at least half of them (a wrong bit spoils one byte, not the next), those of different
// blocks hardly any beyond the bytes of a common layout.
constexpr std::size_t kBytesCompared = 256, kFewestCompared = 16;
constexpr double kSameShare = 0.5, kUnlikeShare = 0.1;
// The fewest bytes of a block that tell one tape from another, and the share of its runs of
// bits a reading of the same block holds at the least (with one bit in 50 wrong, 60 %).
constexpr std::size_t kTellingBytes = 32;
constexpr double kAlikeShare = 0.25;
constexpr std::size_t kProvenBytes = 256;
// A bit of a reading without the demodulator's confidences weighs like a decision this sure.
constexpr float kPlainWeight = 3.0f;
// Where every reading fails and the vote does too, the bits the readings disagree on are tried
// every way, up to this many of them, and the one way that checks out is kept.
constexpr std::size_t kMostTried = 16;

// The blocks of a recording with what the matching looks at. Short bad readings not of an
// announced length are noise (a crackle read as a pilot and a byte or two): they go into
// `noise`, not into the matching.
std::vector<Block> blocks_of(const Capture& c, std::size_t index, std::set<std::pair<std::size_t, std::size_t>>* noise = nullptr) {
    std::vector<Block> out;
    std::int32_t announced = -1;
    for (std::size_t i = 0; i < c.tape.size(); ++i) {
        const FoundPilot& f = c.tape[i];
        if (!f.block || !f.block->block.counted) continue;
        const DecodedBlock& b = f.block->block;
        Block x;
        x.at = {index, i};
        x.block = &b;
        const std::optional<FoundBlock::SoftReading>& soft = f.block->soft;
        x.ballot = soft ? &soft->bytes : &b.data;
        x.confidence = soft ? &soft->confidence : &f.block->confidence;
        const std::size_t in_last = b.last_byte_bits >= 1 && b.last_byte_bits < 8 ? static_cast<std::size_t>(b.last_byte_bits) : 8;
        x.bits = soft ? soft->confidence.size() : b.data.empty() ? 0 : (b.data.size() - 1) * 8 + in_last;
        if (x.ballot->size() >= kTellingBytes)
            x.runs = std::make_shared<const std::vector<std::uint32_t>>(windows_of(*x.ballot, kShiftedBytes));
        x.announced = b.loader->held_to_announced_length ? announced : -1;
        // A header where its header's data was due is the next header, that data lost.
        const bool header = announced_by(b) >= 0;
        x.good = block_checks_out(b) && !looks_like_noise(b) && !pilot_read_as_bits(b) &&
                 (x.announced < 0 || static_cast<std::int32_t>(b.data.size()) == x.announced || header);
        if (i + 1 < c.tape.size() && c.rate > 0) {
            const FoundPilot& next = c.tape[i + 1];
            x.pause = next.gap_replaced ? 0.0f : static_cast<float>(std::max(0.0, (next.start - b.end) / static_cast<double>(c.rate)));
        }
        const std::int32_t length = static_cast<std::int32_t>(b.data.size());
        if (x.good || length >= 3) announced = announced_by(b);
        // Judged by the demodulator's reading where there is one: a dropout may have cut the
        // loader's reading of a block short that the demodulator read on through.
        const std::size_t held = std::max(b.data.size(), x.ballot->size());
        // A pilot read on as bits is no block, however well it checks out: kept, it stood in
        // the merged tape as a block of its own before the block whose pilot it is.
        if (noise != nullptr && !x.good && ((held < kFewestCompared && x.announced != length) || pilot_read_as_bits(b))) {
            noise->insert({index, i});
            continue;
        }
        out.push_back(x);
    }
    return out;
}

// Whether two readings that check out are one block read wrong in one of them: over the
// bits both hold, with one of them shifted by up to kMostShift bits, they are apart in so few
// bits that the wrong one still checked out by chance or by its layout. A mending may flip the
// wrong bits; and a start found a bit or two from the true one, within a header's opening zero
// bytes, shifts every bit after it, where a checksum of exclusive-ors still often holds.
constexpr int kFewBitsApart = 8;
constexpr int kMostShift = 16;
bool one_block_misread(const Block& a, const Block& b) {
    const std::vector<std::uint8_t>&x = a.block->data, &y = b.block->data;
    if (x.size() < 2 || y.size() < 2 || x.size() > y.size() + 2 || y.size() > x.size() + 2) return false;
    const auto nx = static_cast<std::ptrdiff_t>(x.size() * 8), ny = static_cast<std::ptrdiff_t>(y.size() * 8);
    for (std::ptrdiff_t shift = -kMostShift; shift <= kMostShift; ++shift) {
        // Bit i of x against bit i + shift of y, over the bits both hold.
        const std::ptrdiff_t from = std::max<std::ptrdiff_t>(0, -shift), to = std::min(nx, ny - shift);
        if (to - from < std::min(nx, ny) - kMostShift) continue;
        int apart = 0;
        for (std::ptrdiff_t i = from; i < to && apart <= kFewBitsApart; ++i)
            apart += bit_of(x, static_cast<std::size_t>(i)) != bit_of(y, static_cast<std::size_t>(i + shift)) ? 1 : 0;
        if (apart <= kFewBitsApart) return true;
    }
    return false;
}

// How two readings' bytes compare: two readings of one block hold mostly the same bytes
// however damaged, two blocks of different bytes as few as chance gives (1 in 256).
enum class Likeness { same, unlike, unknown };

// A reading as the matching compares it: one that checks out as it is, a bad one as the
// demodulator read it, where it did (a dropout may have cut the loader's reading short).
const std::vector<std::uint8_t>& compared(const Block& b) { return b.good ? b.block->data : *b.ballot; }

// The share of their first bytes two readings hold alike, where they have enough to tell.
std::optional<double> equal_share(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    const std::size_t n = std::min({a.size(), b.size(), kBytesCompared});
    if (n < kFewestCompared) return std::nullopt;
    std::size_t equal = 0;
    for (std::size_t i = 0; i < n; ++i) equal += a[i] == b[i] ? 1 : 0;
    return static_cast<double>(equal) / static_cast<double>(n);
}

Likeness likeness(const Block& x, const Block& y) {
    const std::vector<std::uint8_t>&a = compared(x), &b = compared(y);
    if (x.good && y.good && (a == b || one_block_misread(x, y))) return Likeness::same;
    const std::optional<double> equal = equal_share(a, b);
    if (!equal) return Likeness::unknown;
    const double share = *equal;
    if (share >= kSameShare) return Likeness::same;
    // A bad reading that lost or gained a bit early on has every byte after it shifted: its
    // runs of bits still tell.
    // So has one cut short, most of whose runs the whole one holds.
    if (!(x.good && y.good) && x.runs && y.runs &&
        std::max(shared_share(*x.runs, *y.runs), shared_share(*y.runs, *x.runs)) >= kAlikeShare)
        return Likeness::same;
    return share < kUnlikeShare ? Likeness::unlike : Likeness::unknown;
}

double similarity(const Block& x, const Block& y) {
    const DecodedBlock &a = *x.block, &b = *y.block;
    if (a.loader != b.loader) return kNoMatch;
    double s = 0.0;
    const Likeness bytes = likeness(x, y);
    if (bytes == Likeness::same) s += x.good && y.good && a.data == b.data ? 10.0 : 6.0;
    if (bytes == Likeness::unlike) s -= 6.0;
    const double la = static_cast<double>(compared(x).size()), lb = static_cast<double>(compared(y).size());
    if (la == lb) s += 3.0;
    else if (std::fabs(la - lb) <= 0.05 * std::max(la, lb)) s += 1.0;
    else if (x.good && y.good) s -= 4.0;
    else if (std::min(la, lb) < 0.5 * std::max(la, lb)) s -= 2.0;
    s += a.flag_byte == b.flag_byte ? 1.0 : -1.0;
    const double pa = x.pause, pb = y.pause;
    if (std::fabs(pa - pb) <= std::max(0.25, 0.25 * std::max(pa, pb))) s += 1.0;
    return s;
}

// The slots and the new recording's blocks matched, in order: pairs of (slot, block), either
// side missing where the other has a block the one lacks. Gaps at either end cost nothing.
std::vector<std::pair<std::optional<std::size_t>, std::optional<std::size_t>>> align(const std::vector<Slot>& slots,
                                                                                     const std::vector<Block>& blocks) {
    const std::size_t n = slots.size(), m = blocks.size();
    // Each pair's similarity once: the path back takes the same steps the table did.
    std::vector<std::vector<double>> alike(n, std::vector<double>(m, 0.0));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < m; ++j) alike[i][j] = similarity(slots[i].representative(), blocks[j]);
    std::vector<std::vector<double>> best(n + 1, std::vector<double>(m + 1, 0.0));
    for (std::size_t i = 1; i <= n; ++i)
        for (std::size_t j = 1; j <= m; ++j) {
            const double gap_i = best[i - 1][j] + (j == m ? 0.0 : kGap);
            const double gap_j = best[i][j - 1] + (i == n ? 0.0 : kGap);
            const double match = best[i - 1][j - 1] + alike[i - 1][j - 1];
            best[i][j] = std::max({gap_i, gap_j, match});
        }
    std::vector<std::pair<std::optional<std::size_t>, std::optional<std::size_t>>> path;
    std::size_t i = n, j = m;
    while (i > 0 || j > 0) {
        if (i > 0 && j > 0 && best[i][j] == best[i - 1][j - 1] + alike[i - 1][j - 1]) {
            path.push_back({i - 1, j - 1});
            --i, --j;
        } else if (i > 0 && (j == 0 || best[i][j] == best[i - 1][j] + (j == m ? 0.0 : kGap))) {
            path.push_back({i - 1, std::nullopt});
            --i;
        } else {
            path.push_back({std::nullopt, j - 1});
            --j;
        }
    }
    std::reverse(path.begin(), path.end());
    return path;
}

// Whether two readings are of one block: the same bytes, or (bad ones) most bytes alike in
// their places, or most of their runs of bits in common, where they are long enough to tell.
// A bad reading is compared as the demodulator read it, where it did; and one cut short holds
// runs of bits the other holds, though the other holds many more.
bool alike(const Block& a, const Block& b) {
    const std::size_t n = std::min(a.block->data.size(), b.block->data.size());
    if (n >= kFewestCompared && a.block->data == b.block->data) return true;
    if (a.good && b.good) return n >= kTellingBytes && shared_share(windows_of(a.block->data), windows_of(b.block->data)) >= kAlikeShare;
    if (std::min(a.ballot->size(), b.ballot->size()) < kFewestCompared) return false;
    // Most bytes alike: noise read twice never is.
    if (equal_share(*a.ballot, *b.ballot).value_or(0.0) >= kSameShare) return true;
    const std::vector<std::uint32_t> x = windows_of(*a.ballot), y = windows_of(*b.ballot);
    return std::max(shared_share(x, y), shared_share(y, x)) >= kAlikeShare;
}

// A block proves to be one of its tape's, not noise that checked out by chance (one bad
// reading in 256 does), when it checks out as a header, at the length its header announced,
// or at a length noise hardly ever reaches.
bool proven(const Block& b) {
    const DecodedBlock& d = *b.block;
    const bool header = announced_by(d) >= 0;
    return b.good && (header || b.announced == static_cast<std::int32_t>(d.data.size()) || d.data.size() >= kProvenBytes);
}

// Whether some block is like a reading of the slots: one long enough to tell, or a proven
// block the slots hold byte for byte.
bool has_alike(const std::vector<Slot>& slots, const std::vector<Block>& blocks) {
    std::vector<std::vector<std::uint32_t>> theirs;
    for (const Slot& s : slots)
        for (const Block& r : s.readings)
            if (r.block->data.size() >= kTellingBytes) theirs.push_back(windows_of(r.block->data));
    const auto held = [&](const Block& b) {
        return std::any_of(slots.begin(), slots.end(), [&](const Slot& s) {
            return std::any_of(s.readings.begin(), s.readings.end(),
                               [&](const Block& r) { return r.good && r.block->data == b.block->data; });
        });
    };
    return std::any_of(blocks.begin(), blocks.end(), [&](const Block& b) {
        if (proven(b) && held(b)) return true;
        if (b.block->data.size() < kTellingBytes) return false;
        const std::vector<std::uint32_t> mine = windows_of(b.block->data);
        return std::any_of(theirs.begin(), theirs.end(), [&](const auto& w) { return shared_share(w, mine) >= kAlikeShare; });
    });
}

// A data block that checks out at the length a header that checks out announced: no noise
// reads as that.
bool announced_and_good(const Block& b) {
    return b.good && b.announced == static_cast<std::int32_t>(b.block->data.size());
}

// Whether a recording is of another tape than the slots': both hold such blocks, and none of
// its blocks is like a reading there (good or bad). Where either lacks them nothing tells,
// and the recording is taken.
bool of_another_tape(const std::vector<Slot>& slots, const std::vector<Block>& blocks) {
    const auto has_proven = [](const std::vector<Block>& r) { return std::any_of(r.begin(), r.end(), announced_and_good); };
    const bool both = has_proven(blocks) &&
                      std::any_of(slots.begin(), slots.end(), [&](const Slot& s) { return has_proven(s.readings); });
    return both && !has_alike(slots, blocks);
}

// Adds a recording's blocks to the slots; false when it matches them too poorly to be a
// recording of the same tape.
bool add_recording(std::vector<Slot>& slots, const std::vector<Block>& blocks) {
    if (slots.empty()) {
        for (const Block& b : blocks) slots.push_back({{b}});
        return true;
    }
    if (of_another_tape(slots, blocks)) return false;
    const auto path = align(slots, blocks);
    std::vector<Slot> merged;
    for (const auto& [s, b] : path) {
        if (s) {
            merged.push_back(slots[*s]);
            if (!b) continue;
            // Two good readings of unlike bytes are two blocks, whatever the matching says,
            // unless one is the other's block misread (then the vote decides).
            const Block& r = slots[*s].representative();
            if (r.good && blocks[*b].good && !alike(r, blocks[*b]) && !one_block_misread(r, blocks[*b]))
                merged.push_back({{blocks[*b]}});
            else merged.back().readings.push_back(blocks[*b]);
        } else {
            merged.push_back({{blocks[*b]}});
        }
    }
    slots = std::move(merged);
    return true;
}

// How sure a reading was of bit i of its ballot.
float weight(const Block& b, std::size_t i) {
    if (i >= b.bits) return 0.0f;  // past its last bit
    return i < b.confidence->size() ? (*b.confidence)[i] : kPlainWeight;
}

// The bytes the readings' ballots (all of one length) vote for, bit by bit; `split` the bits
// they disagree on.
std::vector<std::uint8_t> vote(const std::vector<const Block*>& readings, std::vector<std::size_t>& split) {
    const std::size_t bytes = readings.front()->ballot->size();
    std::vector<std::uint8_t> out(bytes, 0);
    for (std::size_t i = 0; i < bytes * 8; ++i) {
        double sum = 0.0;
        int ones = 0;
        for (const Block* r : readings) {
            const int bit = bit_of(*r->ballot, i);
            sum += (bit ? 1.0 : -1.0) * weight(*r, i);
            ones += bit;
        }
        if (ones != 0 && ones != static_cast<int>(readings.size())) split.push_back(i);
        if (sum > 0.0) out[i / 8] = static_cast<std::uint8_t>(out[i / 8] | (0x80 >> (i % 8)));
    }
    return out;
}

// The bytes the readings vote for as the signals they stand for: a 0 bit is two short
// half-periods, a 1 two twice as long, and each reading's levels are laid out from the
// block's first bit in short half-periods, weighed by how sure the reading was of each bit,
// and summed. A 1 read as two 0s (or two 0s as a 1) lasts as long as what it stands for, so
// the bits after it fall where the other readings put theirs, though every byte after it is
// shifted: readings that lost their step in other places still agree almost everywhere. The
// bits are then read from the summed levels as from a signal; `bytes` of them, with the bits
// at the end that no reading reaches (each reading that lost its step lost its last bit, which
// made no whole byte) counted in `missing` and left 0; none where the readings tie or more
// than kMostMissing are missing.
constexpr std::size_t kMostMissing = 1;
std::vector<std::uint8_t> vote_as_signal(const std::vector<const Block*>& readings, std::size_t bytes, std::size_t& missing) {
    std::vector<double> levels;
    for (const Block* r : readings) {
        std::size_t u = 0;
        for (std::size_t i = 0; i < r->bits; ++i) {
            const int bit = bit_of(*r->ballot, i);
            const std::size_t half = bit ? 2 : 1;
            if (levels.size() < u + 2 * half) levels.resize(u + 2 * half, 0.0);
            const double w = weight(*r, i);
            for (std::size_t k = 0; k < 2 * half; ++k) levels[u + k] += k < half ? w : -w;
            u += 2 * half;
        }
    }
    std::vector<std::uint8_t> out(bytes, 0);
    std::size_t u = 0;
    missing = 0;
    for (std::size_t i = 0; i < bytes * 8; ++i) {
        if (u + 1 >= levels.size()) {
            missing = bytes * 8 - i;
            return missing <= kMostMissing ? out : std::vector<std::uint8_t>{};
        }
        // The second short half-period of a bit is high in a 1, low in a 0.
        if (levels[u + 1] == 0.0) return {};
        const bool one = levels[u + 1] > 0.0;
        if (one) out[i / 8] = static_cast<std::uint8_t>(out[i / 8] | (0x80 >> (i % 8)));
        u += one ? 4 : 2;
    }
    return out;
}

bool checks(const DecodedBlock& like, const std::vector<std::uint8_t>& bytes) {
    const DecodedBlock b = like.loader->with_bytes(like, bytes);
    return block_checks_out(b) && !looks_like_noise(b);
}

// Where the vote does not check out: of the ways of setting the bits the readings disagree on,
// the one way that checks out, if there is only one.
std::optional<std::vector<std::uint8_t>> only_way(const DecodedBlock& like, std::vector<std::uint8_t> voted,
                                                  const std::vector<std::size_t>& split) {
    if (split.empty() || split.size() > kMostTried) return std::nullopt;
    std::optional<std::vector<std::uint8_t>> found;
    for (std::uint32_t way = 0; way < (1u << split.size()); ++way) {
        std::vector<std::uint8_t> bytes = voted;
        for (std::size_t k = 0; k < split.size(); ++k)
            if ((way >> k) & 1) bytes[split[k] / 8] ^= static_cast<std::uint8_t>(0x80 >> (split[k] % 8));
        if (!checks(like, bytes)) continue;
        if (found) return std::nullopt;  // two ways check out: neither can be trusted
        found = std::move(bytes);
    }
    return found;
}

// How well the readings of a slot back these bytes: for every bit of every ballot of their
// length, its weight where it agrees with them, less its weight where it does not.
double backing(const Slot& slot, const std::vector<std::uint8_t>& bytes) {
    double sum = 0.0;
    for (const Block& r : slot.readings) {
        if (r.ballot->size() != bytes.size()) continue;
        for (std::size_t i = 0; i < bytes.size() * 8; ++i) {
            const bool same = bit_of(*r.ballot, i) == bit_of(bytes, i);
            sum += same ? weight(r, i) : -weight(r, i);
        }
    }
    return sum;
}

// The readings of a slot that vote: all but the fragments of other blocks.
std::vector<const Block*> voters(const Slot& slot) {
    std::vector<const Block*> out;
    for (const Block& b : slot.readings)
        if (!b.fragment) out.push_back(&b);
    return out;
}

std::vector<VoteReading> ballots_of(const std::vector<const Block*>& readings) {
    std::vector<VoteReading> out;
    for (const Block* b : readings) out.push_back({*b->ballot, *b->confidence, b->bits});
    return out;
}

// A good reading no other good one backs may be one that lost a bit and later gained one: its
// exclusive-or then checks out one time in 256, and every byte between the two slips is
// wrong. Where the readings of the slot, aligned bit by bit and weighed by their confidence
// (its own among them), back other bytes of its length at every place they differ, and those
// check out, they are taken.
std::optional<std::vector<std::uint8_t>> outweighed(const Slot& slot, const Block& good) {
    const DecodedBlock& like = *good.block;
    if (like.loader->with_bytes == nullptr) return std::nullopt;
    const std::vector<VoteReading> ballots = ballots_of(voters(slot));
    if (ballots.size() < 2) return std::nullopt;
    std::optional<std::vector<std::uint8_t>> backed = aligned_majority(ballots, like.data.size(), kPlainWeight);
    if (!backed || *backed == like.data || !checks(like, *backed)) return std::nullopt;
    return backed;
}

struct Choice {
    const Block* block = nullptr;
    std::optional<std::vector<std::uint8_t>> voted;
    bool conflict = false;
};

// The lengths a vote among a slot's readings tries, in turn: the one announced before the
// surest reading, those announced before the others (a header read badly in one recording
// may announce a wrong one, or none), and the surest reading's own. Of that, a few bits past
// its last whole byte are ringing after its end, more the part of a byte left when a bit was
// lost before it.
std::vector<std::size_t> lengths_to_try(const std::vector<const Block*>& readings, const Block& surest) {
    std::vector<std::size_t> out;
    const auto add = [&](std::int64_t n) {
        if (n > 0 && std::find(out.begin(), out.end(), static_cast<std::size_t>(n)) == out.end())
            out.push_back(static_cast<std::size_t>(n));
    };
    add(surest.announced);
    for (const Block* b : readings) add(b->announced);
    add(static_cast<std::int64_t>((surest.bits + 4) / 8));
    if (out.empty()) out.push_back(1);
    return out;
}

// The reading kept for a slot.
Choice choose(const Slot& slot) {
    Choice c;
    // Good readings: the bytes most of them hold.
    // Where some are proven blocks, the others are noise the matching put beside them.
    const bool any_proven = std::any_of(slot.readings.begin(), slot.readings.end(), proven);
    std::vector<std::vector<const Block*>> groups;
    for (const Block& b : slot.readings) {
        if (!b.stands() || (any_proven && !proven(b))) continue;
        auto same = std::find_if(groups.begin(), groups.end(),
                                 [&](const auto& g) { return g.front()->block->data == b.block->data; });
        if (same == groups.end()) groups.push_back({&b});
        else same->push_back(&b);
    }
    if (!groups.empty()) {
        // Between groups of one size, the bits of every reading of the slot decide.
        const auto most = std::max_element(groups.begin(), groups.end(), [&](const auto& a, const auto& b) {
            if (a.size() != b.size()) return a.size() < b.size();
            return backing(slot, a.front()->block->data) < backing(slot, b.front()->block->data);
        });
        c.block = most->front();
        c.conflict = groups.size() > 1;
        if (groups.size() == 1 && most->size() == 1) {
            c.voted = outweighed(slot, *c.block);
            c.conflict = c.voted.has_value();
        }
        return c;
    }
    // None checks out: the ballots of the length most of them have; between lengths as many
    // have, the announced one, else the longest (a reading cut short holds fewer of the
    // block's bytes, and one that ran on holds them all).
    std::map<std::size_t, std::vector<const Block*>> lengths;
    const bool all_fragments = std::all_of(slot.readings.begin(), slot.readings.end(), [](const Block& b) { return b.fragment; });
    for (const Block& b : slot.readings)
        if (!b.fragment || all_fragments) lengths[b.ballot->size()].push_back(&b);
    const std::vector<const Block*>* most = nullptr;
    const auto announced = [](const std::vector<const Block*>& group) {
        return group.front()->announced == static_cast<std::int32_t>(group.front()->ballot->size());
    };
    for (const auto& [length, group] : lengths)
        if (most == nullptr || group.size() > most->size() || (group.size() == most->size() && !announced(*most)))
            most = &group;
    // The most confident of them, should the vote fail.
    double surest = -1.0;
    for (const Block* b : *most) {
        double sum = 0.0;
        for (std::size_t i = 0; i < b->ballot->size() * 8; ++i) sum += weight(*b, i);
        if (sum > surest) surest = sum, c.block = b;
    }
    const DecodedBlock& like = *c.block->block;
    if (like.loader->with_bytes == nullptr) return c;
    if (most->size() >= 2) {
        std::vector<std::size_t> split;
        std::vector<std::uint8_t> voted = vote(*most, split);
        if (checks(like, voted)) c.voted = std::move(voted);
        else c.voted = only_way(like, std::move(voted), split);
        if (c.voted) return c;
    }
    // Readings that lost their step in other places: voted as the signals they stand for.
    const std::vector<const Block*> all = voters(slot);
    if (all.size() < 2) return c;
    const std::vector<std::size_t> tried = lengths_to_try(all, *c.block);
    const std::size_t length = tried.front();
    std::size_t missing = 0;
    std::vector<std::uint8_t> voted = vote_as_signal(all, length, missing);
    if (!voted.empty()) {
        std::vector<std::size_t> last;
        for (std::size_t k = 0; k < missing; ++k) last.push_back(voted.size() * 8 - 1 - k);
        if (missing == 0 && checks(like, voted)) c.voted = std::move(voted);
        else if (missing > 0) c.voted = only_way(like, std::move(voted), last);
    }
    // Readings that gained or lost bits: each aligned to one of them, bit by bit.
    const std::vector<VoteReading> ballots = ballots_of(all);
    for (std::size_t n : tried) {
        if (c.voted) break;
        c.voted = aligned_vote(ballots, n, [&](const std::vector<std::uint8_t>& bytes) { return checks(like, bytes); },
                               kPlainWeight);
    }
    return c;
}

// A header that every recording began to read a few bits early (within the sync) or late:
// the bits its readings back, read from each start near theirs, as each length near theirs.
// A start is taken only where the header then checks out and announces the length of the
// block that follows it, so that a chance checksum is not taken (the length is two bytes
// more of the header's own that must be right), and only where one start does.
//
// At most this many bits early (the sync and the pilot's last half-periods read as bits), and
// as many late as a single recording's header is tried (kMostStartShift).
constexpr std::size_t kMostEarly = 24;
std::optional<std::vector<std::uint8_t>> header_from_backed_start(const Slot& slot, const Choice& c, std::int32_t next_length) {
    const DecodedBlock& like = *c.block->block;
    if (c.voted || like.loader->announces == nullptr || like.loader->with_bytes == nullptr || next_length < 0 ||
        block_checks_out(like))
        return std::nullopt;
    const std::optional<std::vector<std::uint8_t>> bits = backed_bits(ballots_of(voters(slot)), c.block->ballot->size(), kPlainWeight);
    if (!bits || bits->size() < 16) return std::nullopt;
    std::optional<std::vector<std::uint8_t>> found;
    const std::size_t most = bits->size() / 8, fewest = bits->size() > kMostEarly ? (bits->size() - kMostEarly) / 8 : 1;
    for (std::size_t n = std::max<std::size_t>(fewest, 1); n <= most + 1; ++n) {
        for (int shift = -kMostStartShift; shift <= static_cast<int>(kMostEarly); ++shift) {
            if (shift + static_cast<std::ptrdiff_t>(n * 8) > static_cast<std::ptrdiff_t>(bits->size())) break;
            std::vector<std::uint8_t> bytes = packed_bits(*bits, shift, n);
            if (!checks(like, bytes) || announced_by(like.loader->with_bytes(like, bytes)) != next_length) continue;
            if (found && *found != bytes) return std::nullopt;  // two starts would do: neither is sure
            found = std::move(bytes);
        }
    }
    return found;
}

// The length of the block a choice gives, where it checks out; -1 otherwise.
std::int32_t good_length(const Choice& c) {
    if (c.voted) return static_cast<std::int32_t>(c.voted->size());
    return block_checks_out(*c.block->block) ? static_cast<std::int32_t>(c.block->block->data.size()) : -1;
}

// Bad headers read from the start their readings' bits and the block after them agree on.
void mend_headers(const std::vector<Slot>& slots, std::vector<std::optional<Choice>>& choices) {
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (!choices[i]) continue;
        std::size_t next = i + 1;
        while (next < slots.size() && !choices[next]) ++next;
        if (next == slots.size()) continue;
        if (auto mended = header_from_backed_start(slots[i], *choices[i], good_length(*choices[next]))) choices[i]->voted = std::move(mended);
    }
}

std::string source_note(const std::vector<Capture>& captures, const Slot& slot, const Choice& c) {
    if (c.voted) {
        std::string note = "voted from ";
        for (std::size_t i = 0; i < slot.readings.size(); ++i)
            note += (i ? ", " : "") + captures[slot.readings[i].at.capture].name;
        return note;
    }
    std::string note = captures[c.block->at.capture].name;
    if (c.conflict) note += " (other readings that check out differ)";
    return note;
}

// Whether a reading is about as long as the header before it announced: a byte or two more
// where it ran on into what follows, a few fewer where its end was lost.
bool near_announced(const Block& b) {
    const auto length = static_cast<std::int32_t>(b.block->data.size());
    return b.announced >= 0 && std::abs(length - b.announced) <= 2 + b.announced / 100;
}

// Whether a slot holds a block of the tape: a reading checks out (one that does is never
// left out, unless it lies within another recording's block), or has about the length a
// header announced, or two readings are alike, or no other recording heard that stretch (then none
// can tell). What is left is noise: bad readings where the other recordings heard nothing,
// fragments of another's block, or other noise.
bool real_slot(const Slot& slot, bool heard_by_others) {
    const std::vector<Block>& r = slot.readings;
    if (std::all_of(r.begin(), r.end(), [](const Block& b) { return b.fragment; })) return false;
    if (!heard_by_others) return true;
    for (std::size_t i = 0; i < r.size(); ++i) {
        if (r[i].stands() || near_announced(r[i])) return true;
        for (std::size_t j = i + 1; j < r.size(); ++j)
            if (alike(r[i], r[j])) return true;
    }
    return false;
}

// The slots that are noise (see real_slot); a recording hears the stretch between its first
// and last blocks.
std::vector<bool> noise_slots(const std::vector<Slot>& slots, std::size_t captures) {
    std::vector<std::size_t> first(captures, slots.size()), last(captures, 0);
    for (std::size_t i = 0; i < slots.size(); ++i)
        for (const Block& b : slots[i].readings) {
            first[b.at.capture] = std::min(first[b.at.capture], i);
            last[b.at.capture] = std::max(last[b.at.capture], i);
        }
    std::vector<bool> out(slots.size(), false);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        std::vector<bool> in(captures, false);
        for (const Block& b : slots[i].readings) in[b.at.capture] = true;
        bool others = false;
        for (std::size_t c = 0; c < captures; ++c) others = others || (!in[c] && first[c] < i && i < last[c]);
        out[i] = !real_slot(slots[i], others);
    }
    return out;
}

// Seconds from the start of a recording to where a reading's pilot begins, or its data, or
// where it ends.
double seconds_at(const Capture& c, std::int32_t sample) { return c.rate > 0 ? sample / static_cast<double>(c.rate) : 0.0; }

// Where a reading's data begins in its own recording, in seconds.
double data_seconds(const std::vector<Capture>& captures, const Block& b) {
    const Capture& c = captures[b.at.capture];
    return seconds_at(c, c.tape[b.at.entry].block->seen.data_start);
}

// Blocks on a tape never overlap: a reading whose data begins where another recording was
// hearing a block, other than at that block's own data, is a stretch of that block (or of its
// pilot) read as a block of its own, which checked out by chance. Times are carried over from
// the slots both recordings read either side (the two recordings' speeds then measured), or
// from the nearest one, give or take how far two speeds may differ.
constexpr double kSpeedsApart = 0.03, kTimeMargin = 0.05;  // a share of the time carried; seconds
constexpr double kSpeedMeasured = 0.002;                   // the same, with the speeds measured
// Where a reading's data begins (at seconds `t` in its own recording, in slot i) would lie in
// another recording, with the margin the carrying leaves.
struct Carried {
    double there = 0.0, margin = 0.0;
    bool guessed = false;  // no slot tells: the two recordings taken to begin together
};
std::optional<Carried> carried_to(const std::vector<Slot>& slots, std::size_t i, const Block& mine, std::size_t other,
                                  const std::vector<Capture>& captures) {
    // Anchored where the data begins: a pilot's start is where noise let it be found first.
    const auto start = [&](const Block& b) { return data_seconds(captures, b); };
    const double t = start(mine);
    // The nearest slots both read, before and after this one (its own tells nothing).
    std::optional<std::pair<const Block*, const Block*>> before, after;
    for (std::size_t k = 0; k < slots.size(); ++k) {
        const Block *a = nullptr, *b = nullptr;
        for (const Block& r : slots[k].readings) {
            if (r.at.capture == mine.at.capture) a = &r;
            if (r.at.capture == other) b = &r;
        }
        if (a == nullptr || b == nullptr || k == i) continue;
        if (k < i) before = {a, b};
        else if (!after) after = {a, b};
    }
    if (before && after && start(*after->first) > start(*before->first)) {
        const double speed = (start(*after->second) - start(*before->second)) / (start(*after->first) - start(*before->first));
        return Carried{start(*before->second) + (t - start(*before->first)) * speed,
                       kTimeMargin + kSpeedMeasured * std::fabs(t - start(*before->first))};
    }
    if (!before && !after) return Carried{t, kTimeMargin + kSpeedsApart * t, true};
    const auto& [a, b] = before ? *before : *after;
    return Carried{start(*b) + (t - start(*a)), kTimeMargin + kSpeedsApart * std::fabs(t - start(*a))};
}

// Whether a reading whose data begins there (carried into recording o) begins within o's
// block f, its pilot or its data, other than at the data's start.
bool begins_within(const Capture& o, const FoundPilot& f, const Carried& c) {
    const double from = seconds_at(o, f.start), data = seconds_at(o, f.block->seen.data_start), to = seconds_at(o, f.block->block.end);
    return from - c.margin <= c.there && c.there + c.margin <= to && std::fabs(c.there - data) > c.margin;
}

bool inside_anothers_block(const std::vector<Slot>& slots, std::size_t i, const Block& mine, const std::vector<Capture>& captures) {
    for (std::size_t other = 0; other < captures.size(); ++other) {
        if (other == mine.at.capture) continue;
        const std::optional<Carried> c = carried_to(slots, i, mine, other, captures);
        if (!c || c->guessed) continue;
        // Only a block the other recording surely heard tells: one that checks out, or a long
        // reading that is not a pilot read on as bits (noise read as a block tells nothing).
        const Capture& o = captures[other];
        for (const FoundPilot& f : o.tape) {
            if (!f.block || !f.block->block.counted) continue;
            const DecodedBlock& heard = f.block->block;
            const bool sure = (block_checks_out(heard) && !looks_like_noise(heard)) ||
                              (heard.data.size() >= kProvenBytes && !pilot_read_as_bits(heard));
            if (!sure) continue;
            if (begins_within(o, f, *c)) return true;
        }
    }
    return false;
}

// Whether two slots, next to each other in the tape's order and with no recording in both,
// hold readings whose data begins at one place: readings of one block that the matching told
// apart (two that check out with other bytes, one of them read wrong), which the choice
// between them then settles.
bool one_place(const std::vector<Slot>& slots, std::size_t i, std::size_t j, const std::vector<Capture>& captures) {
    for (const Block& a : slots[i].readings)
        for (const Block& b : slots[j].readings)
            if (a.at.capture == b.at.capture) return false;
    const auto stands = [](const Slot& s) { return std::any_of(s.readings.begin(), s.readings.end(), [](const Block& b) { return b.stands(); }); };
    const bool both_stand = stands(slots[i]) && stands(slots[j]);
    for (const Block& a : slots[i].readings)
        for (const Block& b : slots[j].readings) {
            const std::optional<Carried> c = carried_to(slots, i, a, b.at.capture, captures);
            // Where no slot tells, two blocks that both check out are never taken for one.
            if (!c || (c->guessed && both_stand)) continue;
            if (std::fabs(c->there - data_seconds(captures, b)) <= c->margin) return true;
        }
    return false;
}

void join_one_place(std::vector<Slot>& slots, const std::vector<Capture>& captures) {
    for (std::size_t i = 0; i + 1 < slots.size();) {
        if (!one_place(slots, i, i + 1, captures)) {
            ++i;
            continue;
        }
        std::vector<Block>& into = slots[i].readings;
        into.insert(into.end(), slots[i + 1].readings.begin(), slots[i + 1].readings.end());
        slots.erase(slots.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    }
}

// Whether a block proves to be one of its tape's only by its length: long bytes that check out
// are no crackle of noise, but a stretch of another block read at a wrong speed or start
// checks out one time in 256 whatever its length.
bool proven_by_length_alone(const Block& b) {
    const DecodedBlock& d = *b.block;
    const bool header = announced_by(d) >= 0;
    return proven(b) && !header && b.announced != static_cast<std::int32_t>(d.data.size());
}

// Whether a reading's data begins within a block (its pilot or its data) that two recordings
// read alike and well, other than at that block's own data.
bool inside_agreed_block(const std::vector<Slot>& slots, std::size_t i, const Block& mine, const std::vector<Capture>& captures) {
    for (std::size_t k = 0; k < slots.size(); ++k) {
        const std::vector<Block>& r = slots[k].readings;
        if (k == i || r.size() < 2) continue;
        for (const Block& a : r) {
            const bool agreed = a.stands() && std::any_of(r.begin(), r.end(), [&](const Block& b) {
                return &b != &a && b.stands() && b.block->data == a.block->data;
            });
            if (!agreed || a.at.capture == mine.at.capture) continue;
            const std::optional<Carried> c = carried_to(slots, i, mine, a.at.capture, captures);
            if (!c || c->guessed) continue;
            const Capture& o = captures[a.at.capture];
            const FoundPilot& f = o.tape[a.at.entry];
            if (begins_within(o, f, *c)) return true;
        }
    }
    return false;
}

// The slots in the order of the tape. The matching keeps each recording's blocks in their
// order, but where a recording's blocks match none of the others' it may put them before or
// after the others' as well: each slot is put where its data begins on the timeline of the
// recording with the most readings, carried over from the blocks that both recordings read
// either side of it (or the nearest one), or at its own time where its recording shares no
// slot with that one.
void order_by_time(std::vector<Slot>& slots, const std::vector<Capture>& captures) {
    const auto start = [&](const Block& b) { return data_seconds(captures, b); };
    std::vector<std::size_t> held(captures.size(), 0);
    for (const Slot& s : slots)
        for (const Block& b : s.readings) ++held[b.at.capture];
    const auto reference = static_cast<std::size_t>(std::max_element(held.begin(), held.end()) - held.begin());
    // Each recording's readings that share a slot with one of the reference's: pairs of (its
    // time, the reference's time), in its order.
    std::vector<std::vector<std::pair<double, double>>> anchors(captures.size());
    for (const Slot& s : slots) {
        const Block* first = nullptr;
        for (const Block& b : s.readings)
            if (b.at.capture == reference) first = &b;
        if (first == nullptr) continue;
        for (const Block& b : s.readings) anchors[b.at.capture].push_back({start(b), start(*first)});
    }
    const auto carried = [&](const Block& b) -> std::optional<double> {
        const auto& a = anchors[b.at.capture];
        const double t = start(b);
        // A recording that shares no slot with the reference is taken to begin with it:
        // nothing tells otherwise, and the matching's place for it is a guess as well.
        if (a.empty()) return t;
        const auto after = std::lower_bound(a.begin(), a.end(), std::pair{t, -1e300});
        if (after != a.end() && after != a.begin() && after->first > std::prev(after)->first) {
            const auto before = std::prev(after);
            return before->second + (t - before->first) * (after->second - before->second) / (after->first - before->first);
        }
        if (after != a.end()) return after->second + (t - after->first);
        if (after != a.begin()) return std::prev(after)->second + (t - std::prev(after)->first);
        return std::nullopt;
    };
    std::vector<std::pair<double, std::size_t>> order;
    double last = -1e300;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        std::optional<double> t;
        for (const Block& b : slots[i].readings)
            if (b.at.capture == reference) t = start(b);
        for (std::size_t k = 0; !t && k < slots[i].readings.size(); ++k) t = carried(slots[i].readings[k]);
        last = t ? *t : last;
        order.push_back({last, i});
    }
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Slot> sorted;
    for (const auto& [t, i] : order) sorted.push_back(std::move(slots[i]));
    slots = std::move(sorted);
}

// The pause after a block in its own recording: to the next pilot there, readings left out
// passed over.
float pause_after(const Capture& c, const Reading& at, const std::set<std::pair<std::size_t, std::size_t>>& left_out) {
    const FoundPilot& f = c.tape[at.entry];
    for (std::size_t i = at.entry + 1; i < c.tape.size(); ++i) {
        if (left_out.count({at.capture, i}) != 0) continue;
        const FoundPilot& next = c.tape[i];
        if (next.gap_replaced || c.rate <= 0) return 0.0f;
        return static_cast<float>(std::max(0.0, (next.start - f.block->block.end) / static_cast<double>(c.rate)));
    }
    return 0.0f;
}

}  // namespace

Merged merge_captures(const std::vector<Capture>& captures, bool partial) {
    Merged m;
    std::vector<Slot> slots;
    std::set<std::pair<std::size_t, std::size_t>> left_out;
    for (std::size_t c = 0; c < captures.size(); ++c) {
        const std::vector<Block> blocks = blocks_of(captures[c], c, &left_out);
        if (blocks.empty() || !add_recording(slots, blocks)) {
            const std::string why = blocks.empty() ? " holds no block" : " is not a recording of the same tape as " + captures[0].name;
            m.refused += (m.refused.empty() ? "" : "; ") + captures[c].name + why;
            if (!partial) return m;
        }
    }
    order_by_time(slots, captures);
    join_one_place(slots, captures);
    // Readings that check out but prove nothing (not a header, nor of an announced length, nor
    // long) are fragments where they lie within a block another recording read.
    for (std::size_t i = 0; i < slots.size(); ++i)
        for (Block& b : slots[i].readings)
            b.fragment = b.good && !proven(b) && inside_anothers_block(slots, i, b, captures);
    // So is a long one that no other recording backs, within a block the others agree on.
    for (std::size_t i = 0; i < slots.size(); ++i)
        if (Block& b = slots[i].readings.front(); slots[i].readings.size() == 1 && proven_by_length_alone(b))
            b.fragment = inside_agreed_block(slots, i, b, captures);
    std::vector<bool> noise = noise_slots(slots, captures.size());
    // So is a bad reading, alone in its slot, within a block another recording read (a pilot
    // read on as bits, a stretch of data read after the reading of it was lost).
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const Block& only = slots[i].readings.front();
        if (!noise[i] && slots[i].readings.size() == 1 && !only.good && !near_announced(only))
            noise[i] = inside_anothers_block(slots, i, only, captures);
    }
    m.counts.left_out = static_cast<std::int32_t>(left_out.size());
    for (std::size_t i = 0; i < slots.size(); ++i)
        for (const Block& b : slots[i].readings)
            if (noise[i]) left_out.insert({b.at.capture, b.at.entry});
    std::vector<bool> gave(captures.size(), false);
    std::vector<std::optional<Choice>> choices(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i)
        if (!noise[i]) choices[i] = choose(slots[i]);
    mend_headers(slots, choices);
    std::optional<float> pause;  // after the block before, in the recording that gave it
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (noise[i]) {
            ++m.counts.left_out;
            continue;
        }
        const Slot& slot = slots[i];
        Choice c = std::move(*choices[i]);
        const FoundPilot& from = captures[c.block->at.capture].tape[c.block->at.entry];
        FoundPilot entry;
        entry.start = from.start;
        entry.gap_replaced = from.gap_replaced;
        entry.pause_before = pause;
        entry.block = *from.block;
        if (c.voted) entry.block->block = c.block->block->loader->with_bytes(*c.block->block, *c.voted);
        // What the recording's conversion said of the block is said there; here, where it is from.
        entry.block->seen.retry = {};
        const Capture& gave_it = captures[c.block->at.capture];
        const std::string how = source_note(captures, slot, c);
        entry.block->notes = {" From " + how};
        entry.block->source = FoundBlock::Source{gave_it.name, gave_it.rate > 0 ? static_cast<double>(from.start) / gave_it.rate : 0.0, how};
        pause = pause_after(captures[c.block->at.capture], c.block->at, left_out);
        gave[c.block->at.capture] = true;
        ++m.counts.blocks;
        m.counts.voted += c.voted ? 1 : 0;
        m.counts.conflicts += c.conflict ? 1 : 0;
        m.counts.bad += block_checks_out(entry.block->block) ? 0 : 1;
        m.tape.push_back(std::move(entry));
    }
    m.counts.recordings = static_cast<std::int32_t>(std::count(gave.begin(), gave.end(), true));
    return m;
}

std::vector<Capture> split_copies(const Capture& capture) {
    const std::vector<Block> blocks = blocks_of(capture, 0);
    const std::size_t n = blocks.size();
    std::size_t best_k = 0;
    double best = 0.0;
    for (std::size_t k = n / 3; k <= 2 * n / 3 && k + 1 < n; ++k) {
        std::vector<Slot> first;
        for (std::size_t i = 0; i < k; ++i) first.push_back({{blocks[i]}});
        const std::vector<Block> second(blocks.begin() + static_cast<std::ptrdiff_t>(k), blocks.end());
        // A second copy holds the first one's blocks again, not blocks of the same layout.
        if (!has_alike(first, second)) continue;
        double score = 0.0;
        int matched = 0;
        for (const auto& [s, b] : align(first, second))
            if (s && b) score += similarity(first[*s].representative(), second[*b]), ++matched;
        if (score > best && static_cast<std::size_t>(2 * matched) >= std::min(k, n - k)) best = score, best_k = k;
    }
    if (best_k == 0) return {capture};
    // The second copy begins with the pilot of its first block.
    const std::size_t cut = blocks[best_k].at.entry;
    Capture a{capture.name + " (first copy)", FoundTape(capture.tape.begin(), capture.tape.begin() + static_cast<std::ptrdiff_t>(cut)), capture.rate};
    Capture b{capture.name + " (second copy)", FoundTape(capture.tape.begin() + static_cast<std::ptrdiff_t>(cut), capture.tape.end()), capture.rate};
    return {a, b};
}

}  // namespace kvr
