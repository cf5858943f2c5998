#include "recovery/header_start.hpp"

#include <vector>

#include "core/byte_bits.hpp"
#include "loaders/loader.hpp"
#include "recovery/retry.hpp"

namespace kvr {

namespace {

// The header's bits read from `shift` bits later than the reading began (earlier where
// negative), the bits past its end set from `fill`.
std::vector<std::uint8_t> shifted(const std::vector<std::uint8_t>& bytes, int shift, unsigned fill) {
    const auto n = static_cast<std::ptrdiff_t>(bytes.size() * 8);
    std::vector<std::uint8_t> out(bytes.size(), 0);
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const std::ptrdiff_t from = i + shift;
        int bit = 0;
        if (from >= n) bit = static_cast<int>((fill >> (from - n)) & 1u);
        else if (from >= 0) bit = bit_of(bytes, static_cast<std::size_t>(from));
        if (bit) out[static_cast<std::size_t>(i / 8)] |= static_cast<std::uint8_t>(0x80 >> (i % 8));
    }
    return out;
}

}  // namespace

std::optional<HeaderFromItsStart> header_from_its_start(const DecodedBlock& header, std::int32_t next_length) {
    const LoaderDescriptor* loader = header.loader;
    if (loader == nullptr || loader->announces == nullptr || loader->with_bytes == nullptr || next_length < 0 ||
        !block_checks_out(header) || announced_by(header) == next_length)
        return std::nullopt;
    std::optional<HeaderFromItsStart> found;
    for (int shift = -kMostStartShift; shift <= kMostStartShift; ++shift) {
        if (shift == 0) continue;
        const unsigned ways = shift > 0 ? 1u << shift : 1u;
        for (unsigned fill = 0; fill < ways; ++fill) {
            DecodedBlock b = loader->with_bytes(header, shifted(header.data, shift, fill));
            if (!block_checks_out(b) || looks_like_noise(b) || announced_by(b) != next_length) continue;
            if (found && found->block.data != b.data) return std::nullopt;  // two starts would do: neither is sure
            found = HeaderFromItsStart{std::move(b), shift};
        }
    }
    return found;
}

}  // namespace kvr
