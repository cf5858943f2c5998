#include "recovery/demod_mender.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <span>

#include "analysis/bits.hpp"
#include "demod/demodulator.hpp"
#include "frontend/mixed_signal.hpp"
#include "loaders/loader.hpp"
#include "loaders/read_block.hpp"
#include "loaders/registry.hpp"
#include "recovery/bit_mending.hpp"
#include "recovery/classic_levels.hpp"
#include "recovery/header_start.hpp"
#include "recovery/retry.hpp"
#include "recovery/run_on.hpp"

namespace kvr {

namespace {

// A stretch between good blocks with no bad one is read when it is this long and the front end
// found this many edges a second in it; a block is checked with this much either side.
constexpr double kPadSeconds = 0.3;
constexpr double kShortestGap = 0.5;
constexpr double kSignalEdgesPerSecond = 200.0;
// The demodulator reads a long stretch in windows of this many seconds, longer ones for a
// block that runs past a window's end.
constexpr double kWindowSeconds = 45.0, kLongestWindow = 240.0;
constexpr int kMostPasses = 3;
// The classic reading goes through the recording in windows of this many seconds.
constexpr std::int32_t kClassicWindow = 60;
// A good block whose 0 bit is this much longer or shorter than the tape's median is checked.
constexpr double kOddSpeed = 0.1;

// A block whose bytes check out, and more than the few bytes a burst of noise read as a
// block may hold.
constexpr std::size_t kFewestBytes = 4;
// A bad reading where none was found holds at least this many bytes where no length was announced.
constexpr std::size_t kFewestUnread = 16;
bool counted(const FoundPilot& f) { return f.block && f.block->block.counted; }

// The length the block before tape[i] announced for it, or -1; fragments of noise between
// them are passed over.
std::int32_t announced_for(const FoundTape& tape, std::size_t i) {
    for (std::size_t k = i; k-- > 0;) {
        if (!counted(tape[k])) continue;
        const DecodedBlock& b = tape[k].block->block;
        if (b.data.size() < kFewestBytes || !block_checks_out(b)) continue;
        return announced_by(b);
    }
    return -1;
}

// How well tape[i] was read: its bytes check out and it is longer than the few bytes a burst
// of noise may read as a block (good); so, but of another length than its header announced,
// which a reading by chance often is (doubtful: only a reading of the announced length takes
// its place); or not, or a pilot tone read on as bits (bad).
enum class Verdict { good, doubtful, bad };
bool read_well(const DecodedBlock& b) {
    return block_checks_out(b) && b.data.size() >= kFewestBytes && !looks_like_noise(b) && !pilot_read_as_bits(b);
}
Verdict judge(const FoundTape& tape, std::size_t i) {
    const FoundPilot& f = tape[i];
    if (!counted(f) || !read_well(f.block->block)) return Verdict::bad;
    const DecodedBlock& b = f.block->block;
    const std::int32_t announced = b.loader->held_to_announced_length ? announced_for(tape, i) : -1;
    return announced < 0 || static_cast<std::int32_t>(b.data.size()) == announced ? Verdict::good : Verdict::doubtful;
}
bool good(const FoundTape& tape, std::size_t i) { return judge(tape, i) == Verdict::good; }

std::int32_t edges_within(const Recording& r, std::int32_t from, std::int32_t to) {
    const auto a = std::lower_bound(r.edges.begin(), r.edges.end(), from);
    const auto b = std::lower_bound(a, r.edges.end(), to);
    return static_cast<std::int32_t>(b - a);
}

// One block of a demodulation.
demod::Demodulation one_block(const demod::FoundData& f) {
    demod::Demodulation d;
    d.blocks.push_back(f);
    return d;
}

// The levels the demodulator decided are read at about this rate at least: there a sample
// is a small part of the shortest half-period a loader measures.
constexpr std::int32_t kFineRate = 44100;
constexpr std::int32_t kMostFiner = 8;

// Reads a block from the levels the demodulator decided over `around` (sample 0 of which is
// the recording's `offset`), at a finer rate where the recording's is low; the positions
// the reading gives are the recording's.
BlockReading read_decided(const demod::Demodulation& d, const Recording& around, std::int32_t offset,
                          const LoaderDescriptor& loader, ReadStart start, const Settings& settings, LoaderState& state,
                          std::span<std::uint8_t> buffer, std::int32_t search_until) {
    const std::int32_t rate = std::max(around.sample_rate, 1);
    const std::int64_t reach = std::int64_t{offset} + around.count + 1;
    const auto finer = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(std::min<std::int64_t>((kFineRate + rate - 1) / rate, INT32_MAX / reach), 1, kMostFiner));
    const Recording levels = demod::decided_levels(d, around, finer);
    const EdgeView view(levels, offset * finer);
    start.at.pos *= finer;
    start.last_block_end *= finer;
    BlockReading r = read_block(loader, view, start, settings, state, buffer, search_until * finer);
    r.pilot.start /= finer;
    r.data_start /= finer;
    r.block.end /= finer;
    r.next = {r.next.pos / finer, 0, 0, 0};
    return r;
}

std::string mend_note(const std::vector<std::size_t>& mended) {
    std::string note = "the demodulator";
    if (mended.empty()) return note;
    note += ", " + std::to_string(mended.size()) + (mended.size() == 1 ? " bit" : " bits") + " mended (";
    for (std::size_t i = 0; i < mended.size(); ++i) {
        char one[48];
        std::snprintf(one, sizeof one, "%sbyte %zu bit %zu", i ? ", " : "", mended[i] / 8, 7 - mended[i] % 8);
        note += one;
    }
    return note + ")";
}

// The confidence of the least certain bit the demodulator decided (before any was mended:
// those it mends are the least certain).
std::optional<float> weakest_bit(const demod::DataReading& data) {
    if (data.bits.empty()) return std::nullopt;
    float weakest = data.bits.front().confidence;
    for (const demod::DecidedBit& b : data.bits) weakest = std::min(weakest, b.confidence);
    return weakest;
}

// The demodulator's reading of a block that fails, for a vote among recordings: its bytes (as
// a loader read them from the demodulator's edges) with the confidence of every bit, and the
// bits it read past its last whole byte, where it holds them all.
FoundBlock::SoftReading soft_reading(const std::vector<std::uint8_t>& bytes, const demod::DataReading& bits) {
    FoundBlock::SoftReading soft{bytes, {}};
    for (std::size_t i = 0; i < bytes.size() * 8; ++i) soft.confidence.push_back(std::fabs(bits.bits[i].confidence));
    if (bits.bits.size() != bytes.size() * 8 || bits.past.empty()) return soft;
    for (std::size_t k = 0; k < bits.past.size(); ++k) {
        if (k % 8 == 0) soft.bytes.push_back(0);
        if (bits.past[k].value) soft.bytes.back() = static_cast<std::uint8_t>(soft.bytes.back() | (0x80 >> (k % 8)));
        soft.confidence.push_back(std::fabs(bits.past[k].confidence));
    }
    return soft;
}

// A block put where none was found, in the order of the tape's pilots.
void insert_in_order(FoundTape& tape, FoundPilot&& entry) {
    const auto at = std::find_if(tape.begin(), tape.end(), [&](const FoundPilot& f) { return f.start > entry.start; });
    tape.insert(at, std::move(entry));
}

}  // namespace

// The stretches between good blocks that hold a bad block, or signal where the front end
// found no block: a block read badly may reach further either side than its reading did.
std::vector<DemodMender::Stretch> DemodMender::stretches_to_read(const FoundTape& tape) const {
    const std::int32_t rate = levels_.sample_rate, count = levels_.count;
    std::vector<Stretch> out;
    std::int32_t covered = 0;  // the end of the last good block
    bool bad_since = false;    // a bad block since then
    auto close = [&](std::int32_t to) {
        const bool long_enough = to - covered >= static_cast<std::int32_t>(kShortestGap * rate);
        const double seconds = static_cast<double>(to - covered) / rate;
        const bool signal = long_enough && edges_within(levels_, covered, to) >= kSignalEdgesPerSecond * seconds;
        if (to > covered && (bad_since || signal)) out.push_back({covered, to});
    };
    for (std::size_t i = 0; i < tape.size(); ++i) {
        if (!counted(tape[i])) continue;
        const BlockSeen& seen = tape[i].block->seen;
        if (good(tape, i)) {
            close(seen.pilot_start);
            covered = std::max(covered, seen.end);
            bad_since = false;
        } else {
            bad_since = true;
        }
    }
    close(count);
    return out;
}

// The classic reading is compared only where every block is the ROM scheme's: the custom
// loaders' blocks follow from how many came before them.
bool DemodMender::only_rom_blocks() const {
    Settings settings = settings_;
    LoaderSet loaders(settings);
    for (std::int32_t k = 0; k < 64; ++k)
        if (loaders.serving(k).loader->name != "rom") return false;
    return true;
}

// Blocks read on past their announced length into the noise after them, read whole where the
// announced bytes check out: then they are good, and not read again.
void DemodMender::leave_out_run_ons(FoundTape& tape) {
    for (std::size_t i = 0; i < tape.size(); ++i) {
        if (!counted(tape[i])) continue;
        FoundBlock& found = *tape[i].block;
        std::optional<DecodedBlock> cut = without_run_on(found.block, announced_for(tape, i));
        if (!cut) continue;
        const std::size_t past = found.block.data.size() - cut->data.size();
        notes_.push_back("the announced length (the " + std::to_string(past) + (past == 1 ? " byte" : " bytes") +
                         " after it read from noise)");
        found.block = std::move(*cut);
        found.seen.retry = {true, notes_.back().c_str()};
        if (found.confidence.size() > found.block.data.size() * 8) found.confidence.resize(found.block.data.size() * 8);
        found.soft.reset();
    }
}

void DemodMender::mend(FoundTape& tape) {
    leave_out_run_ons(tape);
    // A block mended may announce the length of the next, which then no longer counts as
    // read well: the stretches are sought again while mending changes the tape.
    for (int pass = 0; pass < kMostPasses && levels_.sample_rate > 0 && frames_.channels() > 0; ++pass) {
        const std::size_t taken = notes_.size();
        if (pass == 0 && only_rom_blocks()) keep_classic_blocks(tape);
        for (const Stretch& s : stretches_to_read(tape)) read_stretch(s, tape, read_);
        if (notes_.size() == taken) break;
    }
    read_headers_from_their_start(tape);
}

// A header that checks out but announces another length than the block after it was read
// well at is read from the starts near its own (see header_from_its_start).
void DemodMender::read_headers_from_their_start(FoundTape& tape) {
    for (std::size_t i = 0; i < tape.size(); ++i) {
        if (!counted(tape[i]) || !read_well(tape[i].block->block) || announced_by(tape[i].block->block) < 0) continue;
        std::size_t j = i + 1;
        while (j < tape.size() && (!counted(tape[j]) || looks_like_noise(tape[j].block->block))) ++j;
        if (j == tape.size()) continue;
        const DecodedBlock& next = tape[j].block->block;
        // A header after a header is the next one, this one's data lost.
        if (!read_well(next) || announced_by(next) >= 0) continue;
        FoundBlock& header = *tape[i].block;
        std::optional<HeaderFromItsStart> mended = header_from_its_start(header.block, static_cast<std::int32_t>(next.data.size()));
        if (!mended) continue;
        const int bits = std::abs(mended->shift);
        notes_.push_back("a start " + std::to_string(bits) + (bits == 1 ? " bit " : " bits ") + (mended->shift > 0 ? "later" : "earlier") +
                         ", where it announces the length of the block after it");
        header.block = std::move(mended->block);
        header.seen.retry = {true, notes_.back().c_str()};
        header.confidence.clear();
        header.soft.reset();
    }
}

void DemodMender::read_stretch(const Stretch& s, FoundTape& tape, std::vector<Stretch>& read) {
    // A stretch read before, on an earlier pass, is not read again.
    for (const Stretch& r : read)
        if (r.from <= s.from && s.to <= r.to) return;
    read.push_back(s);
    const std::int32_t rate = levels_.sample_rate;
    Settings settings = settings_;
    LoaderSet loaders(settings);
    std::int32_t at = s.from;
    double window = kWindowSeconds;
    while (at < s.to) {
        const std::int32_t to = std::min<std::int64_t>(s.to, at + static_cast<std::int64_t>(window * rate));
        const std::vector<float> x = mixed_signal(frames_, static_cast<std::uint64_t>(at), static_cast<std::uint64_t>(to - at));
        const demod::Demodulation d = demod::demodulate(x, rate);
        const Recording around = levels_.slice(at, to);
        std::int32_t next = to;
        bool longer = false;
        for (const demod::FoundData& f : d.blocks) {
            if (f.data.end() > static_cast<double>(x.size()) - 0.2 * rate && to < s.to && window < kLongestWindow) {
                // A block that runs to the window's end is read again from a longer one.
                next = at + static_cast<std::int32_t>(f.tone.first_edge) - 1;
                longer = true;
                break;
            }
            take(f, at, around, loaders, tape);
        }
        if (longer) {
            window *= 2.0;
            at = std::max(at + 1, next);
            continue;
        }
        window = kWindowSeconds;
        // Windows overlap by a little, so that a pilot across their border is found whole.
        at = to >= s.to ? s.to : to - static_cast<std::int32_t>(std::min(5.0, window / 4) * rate);
    }
}

std::optional<DemodMender::Place> DemodMender::place_for(const FoundTape& tape, double from, double data_from, double to,
                                                         LoaderSet& loaders) const {
    Place p;
    for (std::size_t i = 0; i < tape.size(); ++i) {
        const FoundPilot& f = tape[i];
        if (!counted(f)) {
            if (f.start > from && f.start < to) p.pilots_within.push_back(i);
            continue;
        }
        const BlockSeen& seen = f.block->seen;
        if (seen.pilot_start < to && from < seen.end) {
            // What a burst of noise read as a block within its pilot tone is not in the way.
            const Verdict v = judge(tape, i);
            if (v == Verdict::doubtful) p.wanted = announced_for(tape, i);
            if (v == Verdict::good && seen.end > data_from) return std::nullopt;
            p.over.push_back(i);
        } else if (seen.end <= from) {
            ++p.before, p.last_end = seen.end;
        }
    }
    if (!p.over.empty()) {
        p.announced = announced_for(tape, p.over.front());
    } else {
        const auto after = std::find_if(tape.begin(), tape.end(), [from](const FoundPilot& f) { return f.start > from; });
        p.announced = announced_for(tape, static_cast<std::size_t>(after - tape.begin()));
    }
    p.loader = p.over.empty() ? loaders.serving(p.before).loader : tape[p.over.front()].block->block.loader;
    p.index = p.over.empty() ? p.before : tape[p.over.front()].block->block.index;
    // Blocks added where none was found must be of the scheme the readings here know.
    if (p.over.empty() && p.loader->name != "rom") return std::nullopt;
    return p;
}

bool DemodMender::fits(const Place& p, const BlockReading& r) const {
    return r.pilot.found && r.block.counted && block_checks_out(r.block) && !looks_like_noise(r.block) &&
           (p.wanted < 0 || static_cast<std::int32_t>(r.block.data.size()) == p.wanted);
}

void DemodMender::put(const Place& p, BlockReading&& r, const std::string& note, std::optional<float> weakest_bit,
                      FoundTape& tape, std::vector<float> confidence) {
    notes_.push_back(note);
    FoundPilot entry;
    entry.start = r.pilot.start;
    BlockSeen seen{r.pilot.start, r.data_start, r.block.end, {true, notes_.back().c_str()}, weakest_bit};
    entry.block = FoundBlock{std::move(r.block), seen, std::move(confidence), std::nullopt, {}, std::nullopt};
    // It takes the place of the first bad block it overlaps; the others were its fragments,
    // and pilots within it were noise.
    std::vector<std::size_t> gone = p.pilots_within;
    if (!p.over.empty()) {
        entry.gap_replaced = tape[p.over.front()].gap_replaced;
        tape[p.over.front()] = std::move(entry);
        gone.insert(gone.end(), p.over.begin() + 1, p.over.end());
    }
    std::sort(gone.rbegin(), gone.rend());
    for (std::size_t i : gone) tape.erase(tape.begin() + static_cast<std::ptrdiff_t>(i));
    if (p.over.empty()) insert_in_order(tape, std::move(entry));
}

// A reading that fails where a bad block stands, as long as that block should be, is kept
// beside it with the confidence of every bit; where a dropout split the block into
// fragments, beside the first of them, which the reading reaches past.
void DemodMender::keep_soft(const Place& p, const BlockReading& r, const demod::DataReading& bits, FoundTape& tape) const {
    if (p.over.empty() || !r.block.counted || r.block.data.size() < kFewestBytes) return;
    const std::int32_t length = static_cast<std::int32_t>(r.block.data.size());
    FoundBlock& bad = *tape[p.over.front()].block;
    if ((p.wanted >= 0 && length != p.wanted) || bits.bits.size() < r.block.data.size() * 8) return;
    bad.soft = soft_reading(r.block.data, bits);
}

void DemodMender::take(const demod::FoundData& found, std::int32_t offset, const Recording& around, LoaderSet& loaders,
                       FoundTape& tape) {
    if (found.data.bits.size() < 8) return;
    const double from = found.tone.first_edge + offset, to = found.data.end() + offset;
    const std::optional<Place> p = place_for(tape, from, found.data.start + offset, to, loaders);
    if (!p) return;
    demod::FoundData data = found;
    std::vector<std::size_t> mended;
    std::optional<BlockReading> first;  // the reading before any bit was mended, should none fit
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::unique_ptr<LoaderState> state = p->loader->make_state();
        std::vector<std::uint8_t> buffer(kBlockDataSize);
        const auto start = static_cast<std::int32_t>(std::max<double>(offset, from - 2.0 * found.tone.period));
        BlockReading r = read_decided(one_block(data), around, offset, *p->loader, {{start, 0, 0, 0}, p->index, p->last_end},
                                      settings_, *state, buffer, static_cast<std::int32_t>(data.data.start + offset));
        if (!r.pilot.found || !r.block.counted) break;
        if (std::optional<DecodedBlock> cut = without_run_on(r.block, p->announced)) r.block = std::move(*cut);
        if (fits(*p, r)) {
            std::vector<float> confidence;
            for (const demod::DecidedBit& b : data.data.bits) confidence.push_back(std::fabs(b.confidence));
            for (std::size_t k : mended) confidence[k] = 0.0f;  // changed: no longer what was read
            confidence.resize(std::min(confidence.size(), r.block.data.size() * 8));
            put(*p, std::move(r), mend_note(mended), weakest_bit(found.data), tape, std::move(confidence));
            return;
        }
        if (attempt == 0) keep_soft(*p, r, data.data, tape);
        if (attempt == 0 && !block_checks_out(r.block)) first = r;
        if (attempt == 1 || block_checks_out(r.block)) break;
        mended = bits_to_mend(r.block.data, data.data);
        if (mended.empty()) break;
        for (std::size_t k : mended) change_bit(data.data, k);
    }
    if (first) keep_unread(*p, std::move(*first), found.data, tape);
}

// A reading that fails where no block was found at all is put in as a bad block, when it is
// long enough to be more than noise (at least half the length announced there, if one was):
// the image then holds what the recording has of the block, and a merge of several
// recordings can vote with its bits.
void DemodMender::keep_unread(const Place& p, BlockReading&& r, const demod::DataReading& bits, FoundTape& tape) {
    if (!p.over.empty() || !r.pilot.found || !r.block.counted || looks_like_noise(r.block)) return;
    const auto length = static_cast<std::int32_t>(r.block.data.size());
    const bool long_enough =
        p.announced >= 0 ? 2 * length >= p.announced : length >= static_cast<std::int32_t>(kFewestUnread);
    if (!long_enough || bits.bits.size() < r.block.data.size() * 8) return;
    FoundBlock::SoftReading soft = soft_reading(r.block.data, bits);
    const auto whole = static_cast<std::ptrdiff_t>(r.block.data.size() * 8);
    std::vector<float> confidence(soft.confidence.begin(), soft.confidence.begin() + whole);
    FoundPilot entry;
    entry.start = r.pilot.start;
    BlockSeen seen{r.pilot.start, r.data_start, r.block.end, {true, nullptr}, weakest_bit(bits)};
    entry.block = FoundBlock{std::move(r.block), seen, std::move(confidence), std::move(soft), {}, std::nullopt};
    insert_in_order(tape, std::move(entry));
}

// The classic reading of a stretch, window by window: the blocks kelvarin reads well there.
std::vector<BlockReading> DemodMender::classic_blocks(const Stretch& s) const {
    std::vector<BlockReading> out;
    if (classic_ == nullptr) return out;
    const std::int32_t rate = levels_.sample_rate;
    const auto window = static_cast<std::int32_t>(std::min<std::int64_t>(INT32_MAX / 2, std::int64_t{kClassicWindow} * rate));
    const LoaderDescriptor& rom = *loader_named("rom");
    std::unique_ptr<LoaderState> state = rom.make_state();
    std::vector<std::uint8_t> buffer(kBlockDataSize);
    for (std::int32_t from = s.from; from < s.to;) {
        const std::int32_t to = static_cast<std::int32_t>(std::min<std::int64_t>(s.to, std::int64_t{from} + window));
        const Recording levels = classic_->window(from, to);
        const EdgeView view(levels, from);
        CursorState at{from, 0, 0, 0};
        std::int32_t next = to;
        while (at.pos < to) {
            const std::int32_t before = at.pos;
            BlockReading r = read_block(rom, view, {at, 1, 0}, settings_, *state, buffer, to);
            at = r.next;
            if (at.pos <= before) at.pos = before + 1;
            if (!r.pilot.found || !r.block.counted) continue;
            // A block that may run on past the window is read again in the next.
            if (to < s.to && r.block.end > to - rate && r.pilot.start > from) {
                next = r.pilot.start;
                break;
            }
            if (block_checks_out(r.block) && r.block.data.size() >= kFewestBytes && !looks_like_noise(r.block))
                out.push_back(std::move(r));
        }
        from = next > from ? next : to;
    }
    return out;
}

// The good blocks read at another speed than the tape's others: a reading that checks out by
// chance (all its bytes 0, say) is most often one of these.
std::vector<DemodMender::Stretch> DemodMender::odd_blocks(const FoundTape& tape) const {
    std::vector<std::int32_t> bit0;
    for (std::size_t i = 0; i < tape.size(); ++i)
        if (good(tape, i)) bit0.push_back(tape[i].block->block.timings.bit0);
    std::vector<Stretch> out;
    if (bit0.size() < 3) return out;
    std::nth_element(bit0.begin(), bit0.begin() + static_cast<std::ptrdiff_t>(bit0.size() / 2), bit0.end());
    const double median = bit0[bit0.size() / 2];
    const auto pad = static_cast<std::int32_t>(kPadSeconds * levels_.sample_rate);
    for (std::size_t i = 0; i < tape.size(); ++i) {
        if (!good(tape, i) || std::fabs(tape[i].block->block.timings.bit0 / median - 1.0) <= kOddSpeed) continue;
        const BlockSeen& seen = tape[i].block->seen;
        out.push_back({std::max(0, seen.pilot_start - pad), std::min(levels_.count, seen.end + pad)});
    }
    return out;
}

// Every block kelvarin reads well where the tape has none, only bad ones, or one read oddly is
// put in: where a good block of other bytes stands, the demodulator's reading of the stretch
// decides between the two, and kelvarin's stands when it cannot.
void DemodMender::keep_classic_blocks(FoundTape& tape) {
    Settings settings = settings_;
    LoaderSet loaders(settings);
    std::vector<Stretch> where = stretches_to_read(tape);
    const std::vector<Stretch> odd = odd_blocks(tape);
    where.insert(where.end(), odd.begin(), odd.end());
    std::vector<BlockReading> found;
    for (const Stretch& s : where) {
        std::vector<BlockReading> more = classic_blocks(s);
        for (BlockReading& r : more) found.push_back(std::move(r));
    }
    for (BlockReading& c : found) {
        const std::optional<std::size_t> rival = good_rival(tape, c);
        if (!rival) {
            const std::optional<Place> p = place_for(tape, c.pilot.start, c.data_start, c.block.end, loaders);
            if (p && p->loader->name == "rom" && fits(*p, c)) put(*p, std::move(c), "the classic levels", std::nullopt, tape);
            continue;
        }
        if (tape[*rival].block->block.data == c.block.data) continue;
        const std::vector<std::uint8_t> judge = demodulated_bytes(c.pilot.start, c.block.end);
        if (judge == tape[*rival].block->block.data) continue;
        Place p;
        p.over = {*rival};
        put(p, std::move(c), "the classic levels", std::nullopt, tape);
    }
}

// The good block of the tape whose data overlaps the reading's, if any.
std::optional<std::size_t> DemodMender::good_rival(const FoundTape& tape, const BlockReading& r) const {
    for (std::size_t i = 0; i < tape.size(); ++i) {
        if (!counted(tape[i]) || !good(tape, i)) continue;
        const BlockSeen& seen = tape[i].block->seen;
        if (seen.data_start < r.block.end && r.data_start < seen.end) return i;
    }
    return std::nullopt;
}

// The bytes of the one block the demodulator reads well over [from, to), or none.
std::vector<std::uint8_t> DemodMender::demodulated_bytes(std::int32_t from, std::int32_t to) const {
    const std::int32_t rate = levels_.sample_rate;
    const auto pad = static_cast<std::int32_t>(kPadSeconds * rate);
    const std::int32_t a = std::max(0, from - pad), b = std::min(levels_.count, to + pad);
    const std::vector<float> x = mixed_signal(frames_, static_cast<std::uint64_t>(a), static_cast<std::uint64_t>(b - a));
    const demod::Demodulation d = demod::demodulate(x, rate);
    if (d.blocks.size() != 1) return {};
    const LoaderDescriptor& rom = *loader_named("rom");
    std::unique_ptr<LoaderState> state = rom.make_state();
    std::vector<std::uint8_t> buffer(kBlockDataSize);
    const BlockReading r = read_decided(d, levels_.slice(a, b), a, rom, {{a, 0, 0, 0}, 1, 0}, settings_, *state, buffer,
                                        static_cast<std::int32_t>(d.blocks[0].data.start + a));
    if (!r.pilot.found || !r.block.counted || !block_checks_out(r.block)) return {};
    return r.block.data;
}

}  // namespace kvr
