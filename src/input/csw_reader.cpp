// Compressed Square Wave, version 1: run-length coded pulses of alternating level.
#include <cstring>

#include "input/allocate.hpp"
#include "input/byte_cursor.hpp"

namespace kvr {

namespace {

constexpr char kSignature[] = "Compressed Square Wave\x1A";
constexpr std::size_t kHeaderSize = 32;

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

}  // namespace

LoadResult read_csw(Bytes file, SampleInfo& info, SampleVector& out, std::int64_t max_samples,
                    const PcmFetcher*) {
    out.clear();
    if (file.size() < kHeaderSize || std::memcmp(file.data(), kSignature, 23) != 0)
        return LOAD_NOT_THIS_FORMAT;
    const std::uint8_t major = file[23], minor = file[24];
    if (major != 1 || (minor != 0 && minor != 1)) return LOAD_BAD_VERSION;
    if (file[27] != 1) return LOAD_BAD_DATA;
    info.rate = file[25] | (file[26] << 8);
    if (info.rate == 0) return LOAD_BAD_DATA;
    info.type_name = "Compressed Square Wave (CSW)";

    // Counting pass.
    ByteCursor cur{file, kHeaderSize};
    std::int64_t total = 0;
    for (std::uint32_t n; next_pulse(cur, n);) {
        total += n;
        if (total > max_samples) return LOAD_TOO_LONG;
    }
    info.length = static_cast<std::int32_t>(total);
    compute_duration(info);
    if (total == 0) return LOAD_EMPTY;
    if (!allocate_samples(out, total)) return LOAD_NO_MEMORY;

    // Filling pass.
    std::int8_t level = (minor == 1 && (file[28] & 1)) ? 0x7F : static_cast<std::int8_t>(0x80);
    std::int8_t* dest = out.data();
    cur.pos = kHeaderSize;
    for (std::uint32_t n; next_pulse(cur, n);) {
        std::memset(dest, level, n);
        dest += n;
        level = static_cast<std::int8_t>(~level);  // 0x7F <-> 0x80
    }
    return LOAD_OK;
}

}  // namespace kvr
