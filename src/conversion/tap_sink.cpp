#include "conversion/tap_sink.hpp"

#include "formats/tap_file.hpp"
#include "loaders/loader.hpp"

namespace kvr {

void TapSink::record(std::span<const std::uint8_t> bytes, std::int32_t block_number) {
    const auto length = static_cast<std::int32_t>(bytes.size());
    if (length <= 0) return;
    if (static_cast<std::size_t>(length) > tap::kMostBytes) {
        // The two-byte length cannot hold it; writing it anyway would make every later
        // record unreadable.
        report_.tap_record_too_long(block_number, length, output_name_);
        return;
    }
    std::vector<std::uint8_t> out;
    tap::put_record(out, bytes);
    file_.put(out.data(), out.size());
}

void TapSink::subblock(const DecodedBlock& block, std::size_t i) {
    const SubBlock& s = block.subblocks[i];
    record({block.subblock_bytes.data() + s.offset, static_cast<std::size_t>(s.length)}, block.index + 1);
}

void TapSink::take(DecodedBlock&& block) {
    if (block.loader->in_tap == nullptr || block.loader->in_tap(block)) record(block.data, block.index + 1);
}

}  // namespace kvr
