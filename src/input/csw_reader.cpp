// Compressed Square Wave: run-length coded pulses of alternating level. Version 1 with a
// 32-byte header; version 2 with a 52-byte header and the pulses plain or packed by zlib.
#include <algorithm>
#include <cstring>
#include <string>

#include "formats/csw_format.hpp"
#include "formats/byte_cursor.hpp"
#include "input/readers.hpp"
#include "input/csw_pulses.hpp"

namespace kvr {

namespace {

using namespace csw;

// Reads one pulse length; false when the pulse data has ended (a cut-off long pulse is dropped).
bool next_pulse(ByteCursor& cur, std::uint32_t& length) {
    std::uint32_t b;
    if (!cur.read(1, b)) return false;
    if (b != 0) {
        length = b;
        return true;
    }
    if (!cur.read(4, length)) {
        cur.pos = cur.bytes.size();
        return false;
    }
    return true;
}

// Counting pass: the samples and the number of the pulses; false as soon as the samples
// pass the ceiling.
bool count_pulses(Bytes pulses, std::int64_t max_samples, std::int64_t& samples, std::uint64_t& count) {
    ByteCursor cur{pulses, 0};
    samples = 0;
    count = 0;
    for (std::uint32_t n; next_pulse(cur, n); ++count) {
        samples += n;
        if (samples > max_samples) return false;
    }
    return true;
}

// Gives `out` the pulses of `total` samples in all, the first at level `low`.
LoadResult expand_pulses(Bytes pulses, std::int64_t total, bool low, SampleInfo& info, SampleSink& out) {
    info.length = static_cast<std::int32_t>(total);
    compute_duration(info);
    if (total == 0) return LOAD_EMPTY;
    if (!out.expect(total)) return LOAD_NO_MEMORY;
    std::int64_t left = total;
    ByteCursor cur{pulses, 0};
    bool ok = true;
    for (std::uint32_t n; ok && left > 0 && next_pulse(cur, n); low = !low) {
        // The pulses were counted once already; should the file change under us, no more
        // than the counted samples are given, and a shortfall is made up below.
        const std::int64_t length = std::min<std::int64_t>(n, left);
        ok = out.run(low, static_cast<std::uint64_t>(length));
        left -= length;
    }
    if (ok && left > 0) ok = out.run(low, static_cast<std::uint64_t>(left));
    if (!ok) {
        out.clear();
        return LOAD_NO_MEMORY;
    }
    return LOAD_OK;
}

// Version 2.00: rate (32 bits) at 25, pulse count at 29, compression at 33, flags at 34,
// length of the header extension at 35, the encoding program's name at 36 to 51.
LoadResult read_csw2(Bytes file, SampleInfo& info, SampleSink& out, std::int64_t max_samples) {
    if (file.size() < kHeaderSize2) return LOAD_BAD_DATA;
    const ByteCursor header{file, 0};
    const std::uint32_t rate = header.le(kRate, 4);
    const std::uint32_t stated_pulses = header.le(kPulseCount2, 4);
    const std::uint8_t compression = file[kCompression2];
    const std::size_t start = kHeaderSize2 + file[kExtension2];
    if (file.size() < start) return LOAD_BAD_DATA;
    if (compression != kRle && compression != kZrle) return LOAD_BAD_DATA;
    if (rate == 0 || rate > 0x7FFFFFFF) return LOAD_BAD_DATA;
    info.rate = static_cast<std::int32_t>(rate);
    info.type_name = "Compressed Square Wave (CSW)";

    bool low = (file[kFlags2] & kInitialHigh) == 0;
    std::uint64_t pulses = 0;
    std::int64_t total = 0;
    LoadResult result;
    if (compression == kRle) {
        if (!count_pulses(file.subspan(start), max_samples, total, pulses)) return LOAD_TOO_LONG;
        result = expand_pulses(file.subspan(start), total, low, info, out);
    } else {
        CompactPulses compact;
        switch (inflate_pulses(file.subspan(start), max_samples, compact)) {
        case InflateResult::corrupt: return LOAD_BAD_DATA;
        case InflateResult::too_long: return LOAD_TOO_LONG;
        case InflateResult::ok: break;
        }
        if (compact.first_flipped) low = !low;
        pulses = compact.pulses;
        result = expand_pulses(compact.rle, compact.samples, low, info, out);
    }
    // What the stream holds counts; a header that says otherwise is only worth a note.
    if (result == LOAD_OK && pulses != stated_pulses)
        info.warning = "the header states " + std::to_string(stated_pulses) + " pulses, the sample data holds " +
                       std::to_string(pulses);
    return result;
}

}  // namespace

LoadResult read_csw(Bytes file, SampleInfo& info, SampleSink& out, std::int64_t max_samples,
                    const PcmFetcher*) {
    out.clear();
    if (file.size() < kHeaderSize1 || std::memcmp(file.data(), kSignature, kSignatureSize) != 0)
        return LOAD_NOT_THIS_FORMAT;
    const std::uint8_t major = file[kVersionMajor], minor = file[kVersionMinor];
    if (major == 2 && minor == 0) return read_csw2(file, info, out, max_samples);
    if (major != 1 || (minor != 0 && minor != 1)) return LOAD_BAD_VERSION;
    if (file[kCompression1] != kRle) return LOAD_BAD_DATA;
    info.rate = file[kRate] | (file[kRate + 1] << 8);
    if (info.rate == 0) return LOAD_BAD_DATA;
    info.type_name = "Compressed Square Wave (CSW)";
    const bool low = !(minor == 1 && (file[kFlags1] & kInitialHigh));
    std::int64_t total = 0;
    std::uint64_t pulses = 0;
    if (!count_pulses(file.subspan(kHeaderSize1), max_samples, total, pulses)) return LOAD_TOO_LONG;
    return expand_pulses(file.subspan(kHeaderSize1), total, low, info, out);
}

}  // namespace kvr
