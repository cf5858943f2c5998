// A header read from a few bits before or after where it begins. Noise moves the sync, and a
// header opens with zero bytes (its flag, most often its type), so a reading from a bit or
// two early or late still holds the header's bits, shifted, and its exclusive-or checks out
// whenever the bits it lost or took in at its end happen to fit: one time in two to eight. It
// then announces a wrong length. Where the block after it was read well at another length,
// the header is read from the other starts near its own.
#pragma once

#include <cstdint>
#include <optional>

#include "conversion/found_tape.hpp"

namespace kvr {

// At most this many bits either way.
inline constexpr int kMostStartShift = 3;

// The header read from a start up to kMostStartShift bits either way of the one it was read
// from, when exactly one such reading checks out and announces `next_length`; none otherwise.
// The bits a start earlier than the reading's leaves unknown are a header's opening zeros;
// those a later start needs past the reading's end are tried every way.
struct HeaderFromItsStart {
    DecodedBlock block;
    int shift = 0;  // bits from the start it was read from: later where positive
};
std::optional<HeaderFromItsStart> header_from_its_start(const DecodedBlock& header, std::int32_t next_length);

}  // namespace kvr
