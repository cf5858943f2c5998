// CSW version 2 from both ends: the bytes as a pulse stream that is packed with zlib here,
// so that mutations reach the pulse parsing behind the inflater, and as a packed stream
// itself, so that they reach the inflater's handling of damaged data. The same pulses must
// load alike, plain (compression 1) and packed (compression 2).
#include <zlib.h>

#include <cstring>
#include <vector>

#include "input/readers.hpp"

namespace {

std::vector<std::uint8_t> csw2(std::uint8_t compression, std::uint8_t flags, const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> v(52 + size, 0);
    std::memcpy(v.data(), "Compressed Square Wave\x1A", 23);
    v[23] = 2;
    v[25] = 0x44;  // 44100 Hz
    v[26] = 0xAC;
    v[33] = compression;
    v[34] = flags;
    if (size > 0) std::memcpy(v.data() + 52, data, size);
    return v;
}

kvr::LoadResult load(const std::vector<std::uint8_t>& file, kvr::SampleVector& samples) {
    kvr::SampleInfo info;
    kvr::SampleCollector collect(samples);
    const kvr::LoadResult r = kvr::read_csw(file, info, collect, 1 << 22, nullptr);
    if (r == kvr::LOAD_OK && samples.size() != static_cast<std::size_t>(info.length)) __builtin_trap();
    if (r != kvr::LOAD_OK && !samples.empty()) __builtin_trap();
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t flags = data[0] & 1;
    ++data;
    --size;
    kvr::SampleVector raw;
    load(csw2(2, flags, data, size), raw);

    uLongf packed_size = compressBound(static_cast<uLong>(size));
    std::vector<std::uint8_t> packed(packed_size);
    if (compress(packed.data(), &packed_size, data, static_cast<uLong>(size)) != Z_OK) return 0;
    kvr::SampleVector plain, inflated;
    const kvr::LoadResult a = load(csw2(1, flags, data, size), plain);
    const kvr::LoadResult b = load(csw2(2, flags, packed.data(), packed_size), inflated);
    if (a != b || plain != inflated) __builtin_trap();
    return 0;
}
