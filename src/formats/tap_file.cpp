#include "formats/tap_file.hpp"

namespace kvr::tap {

void put_record(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
    out.push_back(static_cast<std::uint8_t>(bytes.size() & 0xFF));
    out.push_back(static_cast<std::uint8_t>((bytes.size() >> 8) & 0xFF));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace kvr::tap
