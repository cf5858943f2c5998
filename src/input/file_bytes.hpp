// A whole input file in memory: mapped when it can be, read in one piece otherwise.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "input/sample_buffer.hpp"

namespace kvr {

class FileBytes : public PcmFetcher {
public:
    FileBytes() = default;
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes();

    // False when the name is not a regular file that can be opened for reading.
    bool open(const std::string& name);
    std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

    // Reads the frames in pieces through a small buffer that stays in the cache.
    bool convert(std::uint64_t offset, std::size_t frames, const PcmFormat& format,
                 std::int8_t* dest) const override;

private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    void* map_ = nullptr;
    int fd_ = -1;
    std::vector<std::uint8_t> copy_;
};

}  // namespace kvr
