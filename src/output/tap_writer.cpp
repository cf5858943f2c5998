// TAP output: each block's bytes behind a two-byte length.
#include "context.hpp"

namespace kvr {

void write_tap_bytes(Context& cx, const std::uint8_t* data, std::int32_t length, std::int32_t block_number) {
    if (length <= 0) return;
    if (length > 0xFFFF) {
        // The two-byte length cannot hold it; writing it anyway would make every later
        // record unreadable.
        cx.console.warn("Warning: block %d has %d bytes, too many for a TAP record; it was left out of %s\n",
                        block_number, length, cx.settings.output_name.c_str());
        return;
    }
    const std::uint8_t size[2] = {static_cast<std::uint8_t>(length & 0xFF), static_cast<std::uint8_t>(length >> 8)};
    cx.image.put(size, 2);
    cx.image.put(data, static_cast<std::size_t>(length));
}

void write_tap_record(Context& cx) {
    const WorkingRecord& w = cx.work;
    if (w.last_byte_bits == 0) return;  // a BleepLoad pilot-only marker has no bytes
    write_tap_bytes(cx, w.block_data.data(), w.block_length, w.block_count);
}

}  // namespace kvr
