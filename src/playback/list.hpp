// The listing of an image, one line per block: its kind, its fields, the checksum state and
// the time it starts.
#pragma once

#include <optional>
#include <string>

#include "formats/tape_reader.hpp"

namespace kvr {

// The listing, one line per block: its kind, its fields, the checksum state and the time
// it starts. Line by line, so that an image of any length is listed in little memory.
class TapeListing {
public:
    static std::string heading();
    std::string line(const TapeBlock& block);  // numbers the block and adds up the time
    std::string total() const;

private:
    std::size_t count_ = 0;
    double tstates_ = 0.0;
};

// What a ROM header block names: its type ("program", "number array", "character array",
// "bytes") and its name, trailing spaces dropped.
struct HeaderName {
    std::string type, name;
};
// The header a block holds (19 bytes of flag 0, a type of 0 to 3, a good checksum), or none.
std::optional<HeaderName> header_in(const TapeBlock& block);
// A name as text that cannot reach a terminal as control codes: bytes outside printable
// ASCII as \xHH, the backslash and the quote escaped.
std::string printable(const std::string& name);

// The whole listing of an image held in memory.
std::string list_tape_image(const TapeImage& image);

// The length of a block when played, in T-states (pauses included).
double block_tstates(const TapeBlock& block);

}  // namespace kvr
