// CSW, compressed square wave: the header fields that the reader and the encoder share.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvr::csw {

inline constexpr char kSignature[] = "Compressed Square Wave\x1A";
inline constexpr std::size_t kSignatureSize = 23;
inline constexpr std::size_t kVersionMajor = 23, kVersionMinor = 24;  // offsets
inline constexpr std::size_t kRate = 25;                              // 2 bytes in version 1, 4 in 2

// Version 1.
inline constexpr std::size_t kHeaderSize1 = 32;
inline constexpr std::size_t kCompression1 = 27, kFlags1 = 28;

// Version 2.
inline constexpr std::size_t kHeaderSize2 = 52;
inline constexpr std::size_t kPulseCount2 = 29, kCompression2 = 33, kFlags2 = 34, kExtension2 = 35, kApplication2 = 36;

inline constexpr std::uint8_t kRle = 1;   // pulse lengths as they are
inline constexpr std::uint8_t kZrle = 2;  // the same, packed with zlib
inline constexpr std::uint8_t kInitialHigh = 1;  // flag: the first pulse is high

}  // namespace kvr::csw
