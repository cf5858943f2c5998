// The KVR tape image: its signature and version, the block IDs and the layouts of their
// fixed parts, the ROM loader's timings and the clock they count in, the trailer pattern,
// and the bytes of every block kind, written and read. The converter's writer, kvrtool's
// reader, lister and renderer, and the tests' image builder all take the format from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvr::image {

inline constexpr std::uint8_t kSignature[8] = {'V', 'o', 'r', 'n', 'a', 'k', '!', 0x1A};
inline constexpr std::uint8_t kMajorVersion = 1;
inline constexpr std::uint8_t kMinorVersion = 10;
inline constexpr std::size_t kHeaderSize = 10;

// Every timing in an image is a count of T-states, cycles of this clock.
inline constexpr double kClockHz = 3500000.0;

// Block IDs.
inline constexpr std::uint8_t kStandardData = 0x10;  // played with the ROM timings
inline constexpr std::uint8_t kTurboData = 0x11;     // pilot, sync and bits of its own
inline constexpr std::uint8_t kPureTone = 0x12;
inline constexpr std::uint8_t kPulseSequence = 0x13;
inline constexpr std::uint8_t kPureData = 0x14;  // data bits alone
inline constexpr std::uint8_t kPause = 0x20;
inline constexpr std::uint8_t kGroupStart = 0x21;
inline constexpr std::uint8_t kGroupEnd = 0x22;

// A number in a block's fixed part: where it stands after the ID, and its bytes.
struct Field {
    std::uint8_t at;
    std::uint8_t width;
};
// The fixed parts, field by field; the writers put and the reader takes them from here.
namespace standard {
inline constexpr Field pause{1, 2}, length{3, 2};
}
namespace turbo {
inline constexpr Field pilot{1, 2}, sync1{3, 2}, sync2{5, 2}, bit0{7, 2}, bit1{9, 2}, pilots{11, 2};
inline constexpr Field used_bits{13, 1}, pause{14, 2}, length{16, 3};
}  // namespace turbo
namespace tone {
inline constexpr Field pulse{1, 2}, count{3, 2};
}
namespace pulses {
inline constexpr Field count{1, 1};  // pulses of two bytes each follow
}
inline constexpr std::size_t kMostPulses = 255;  // in one pulse sequence block
namespace pure {
inline constexpr Field bit0{1, 2}, bit1{3, 2}, used_bits{5, 1}, pause{6, 2}, length{8, 3};
}
namespace pause_block {
inline constexpr Field ms{1, 2};
}
namespace group {
inline constexpr Field name_length{1, 1};
}

// The bytes of a block's fixed part, which tells how many follow; 0 for an unknown ID.
constexpr std::size_t fixed_size(std::uint8_t id) {
    switch (id) {
    case kStandardData: return 5;
    case kTurboData: return 19;
    case kPureTone: return 5;
    case kPulseSequence: return 2;
    case kPureData: return 11;
    case kPause: return 3;
    case kGroupStart: return 2;
    case kGroupEnd: return 1;
    default: return 0;
    }
}

// The ROM loader's timings in T-states, and the pilot lengths of its header and data blocks.
inline constexpr std::int32_t kRomPilot = 2168;
inline constexpr std::int32_t kRomSync1 = 667;
inline constexpr std::int32_t kRomSync2 = 735;
inline constexpr std::int32_t kRomBit0 = 855;
inline constexpr std::int32_t kRomBit1 = 1710;
inline constexpr std::int32_t kRomHeaderPilots = 8064;
inline constexpr std::int32_t kRomDataPilots = 3220;

// The trailer pattern that follows a sub-block: ten pulses of 875 T-states, twenty-two of
// 1750 and ten of 875.
inline constexpr int kTrailerLength = 42;
constexpr std::uint16_t trailer_pulse(int i) { return (i >= 10 && i < 32) ? 1750 : 875; }

// A value for a 16-bit field: wider values become 65535 and negative ones 0.
std::uint16_t field16(std::int64_t value);
// A pause in seconds as the milliseconds of a pause field (before field16).
std::int32_t pause_ms(float pause_seconds);

// The number in `field` of the fixed part at `fixed` (which holds the whole fixed part).
std::uint32_t get(const std::uint8_t* fixed, Field field);
// The bytes that follow the fixed part at `fixed` of a block with this ID: data, pulses or a name.
std::size_t tail_size(const std::uint8_t* fixed, std::uint8_t id);

// Writing: each function appends one block (or the header) to `out`. Numbers of two and
// three bytes are little-endian; two-byte fields saturate through field16.
void put_header(std::vector<std::uint8_t>& out);
void put_standard_data(std::vector<std::uint8_t>& out, std::int64_t pause_ms, std::span<const std::uint8_t> data);
struct TurboFields {
    std::int64_t pilot = 0, sync1 = 0, sync2 = 0, bit0 = 0, bit1 = 0, pilots = 0, used_bits = 8, pause_ms = 0;
};
void put_turbo_data(std::vector<std::uint8_t>& out, const TurboFields& fields, std::span<const std::uint8_t> data);
void put_pure_tone(std::vector<std::uint8_t>& out, std::int64_t pulse, std::int64_t count);
// More than kMostPulses pulses become several blocks.
void put_pulse_sequence(std::vector<std::uint8_t>& out, std::span<const std::uint16_t> pulses);
void put_pure_data(std::vector<std::uint8_t>& out, std::int64_t bit0, std::int64_t bit1, std::int64_t used_bits,
                   std::int64_t pause_ms, std::span<const std::uint8_t> data);
void put_pause(std::vector<std::uint8_t>& out, std::int64_t ms);
void put_group_start(std::vector<std::uint8_t>& out, std::string_view name);
void put_group_end(std::vector<std::uint8_t>& out);
// The trailer pattern as a pulse sequence block.
void put_trailer(std::vector<std::uint8_t>& out);

// A block without data, as a value: what a loader puts in front of its data.
struct Piece {
    enum class Kind : std::uint8_t { group_start, pure_tone, pulse_sequence, pause };
    Kind kind = Kind::pause;
    std::int64_t pulse = 0;  // pure tone: the pulse length
    std::int64_t count = 0;  // pure tone: the pulses; pause: the milliseconds
    std::vector<std::uint16_t> pulses;
    std::string name;

    static Piece group_start(std::string name);
    static Piece pure_tone(std::int64_t pulse, std::int64_t count);
    static Piece pulse_sequence(std::vector<std::uint16_t> pulses);
    static Piece pause(std::int64_t ms);
};
void put_piece(std::vector<std::uint8_t>& out, const Piece& piece);

}  // namespace kvr::image
