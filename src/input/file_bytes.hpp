// A whole input file in memory: mapped when it can be, read in one piece otherwise.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kvr {

class FileBytes {
public:
    FileBytes() = default;
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes();

    // False when the name is not a regular file that can be opened for reading.
    bool open(const std::string& name);
    std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    void* map_ = nullptr;
    std::vector<std::uint8_t> copy_;
};

}  // namespace kvr
