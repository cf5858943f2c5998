// kvrtool list --json: the image's blocks as JSON, written block by block like the listing,
// so that an image of any length is listed in little memory.
#pragma once

#include <string>

#include "formats/tape_reader.hpp"

namespace kvr {

class JsonListing {
public:
    // The object's opening, for the image named and its format.
    static std::string heading(const std::string& image, bool tap);
    // The next block's object, one to a line.
    std::string line(const TapeBlock& block);
    // The blocks' end and the totals, closing the object.
    std::string total() const;

private:
    std::size_t count_ = 0;
    double tstates_ = 0.0;
};

}  // namespace kvr
