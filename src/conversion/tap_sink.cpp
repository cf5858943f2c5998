#include "conversion/tap_sink.hpp"

#include "loaders/loader.hpp"

namespace kvr {

void TapSink::record(std::span<const std::uint8_t> bytes, std::int32_t block_number) {
    const auto length = static_cast<std::int32_t>(bytes.size());
    if (length <= 0) return;
    if (length > 0xFFFF) {
        // The two-byte length cannot hold it; writing it anyway would make every later
        // record unreadable.
        report_.tap_record_too_long(block_number, length, output_name_);
        return;
    }
    const std::uint8_t size[2] = {static_cast<std::uint8_t>(length & 0xFF), static_cast<std::uint8_t>(length >> 8)};
    file_.put(size, 2);
    file_.put(bytes.data(), bytes.size());
}

void TapSink::subblock(const DecodedBlock& block, std::size_t i) {
    const SubBlock& s = block.subblocks[i];
    record({block.subblock_bytes.data() + s.offset, static_cast<std::size_t>(s.length)}, block.index + 1);
}

void TapSink::take(DecodedBlock&& block) {
    if (block.loader->in_tap == nullptr || block.loader->in_tap(block)) record(block.data, block.index + 1);
}

}  // namespace kvr
