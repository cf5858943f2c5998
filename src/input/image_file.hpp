// An image file as a source of its bytes, for kvrtool's list and play.
#pragma once

#include <string>
#include <vector>

#include "formats/tape_reader.hpp"

namespace kvr {

// An image file, read with plain reads: unlike a mapping, the file may shrink under it.
class FileImageSource : public ImageSource {
public:
    FileImageSource() = default;
    FileImageSource(const FileImageSource&) = delete;
    FileImageSource& operator=(const FileImageSource&) = delete;
    ~FileImageSource();

    bool open(const std::string& name);  // false unless a regular file that can be read
    int fd() const { return fd_; }
    bool rewind();
    // The first bytes, without moving on.
    std::vector<std::uint8_t> peek(std::size_t n) const;
    std::ptrdiff_t read(std::uint8_t* into, std::size_t n) override;
    std::uint64_t remaining() const override;

private:
    int fd_ = -1;
};

}  // namespace kvr
