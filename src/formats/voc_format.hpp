// VOC, the voice file: the header and block types that the reader and the encoder share.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvr::voc {

inline constexpr char kSignature[] = "Creative Voice File\x1A";
inline constexpr std::size_t kSignatureSize = 20;
inline constexpr std::size_t kHeaderSize = 26;  // signature, data offset, version, its check
inline constexpr std::uint16_t kVersion = 0x010A;

// The check of the version: its complement plus 0x1234.
constexpr std::uint16_t version_check(std::uint16_t version) {
    return static_cast<std::uint16_t>((~version + 0x1234) & 0xFFFF);
}

// Block types.
inline constexpr std::uint8_t kTerminator = 0;
inline constexpr std::uint8_t kSound = 1;          // 8-bit sound with a time constant
inline constexpr std::uint8_t kSoundContinued = 2;
inline constexpr std::uint8_t kSilence = 3;
inline constexpr std::uint8_t kMarker = 4;
inline constexpr std::uint8_t kText = 5;
inline constexpr std::uint8_t kRepeat = 6;
inline constexpr std::uint8_t kRepeatEnd = 7;
inline constexpr std::uint8_t kSoundWithFormat = 9;  // rate, bits and channels of its own

}  // namespace kvr::voc
