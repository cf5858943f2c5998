#include "input/image_file.hpp"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "input/file_bytes.hpp"

namespace kvr {

FileImageSource::~FileImageSource() {
    if (fd_ >= 0) ::close(fd_);
}

bool FileImageSource::open(const std::string& name) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = open_regular_file(name);
    return fd_ >= 0;
}

bool FileImageSource::rewind() { return fd_ >= 0 && ::lseek(fd_, 0, SEEK_SET) == 0; }

std::vector<std::uint8_t> FileImageSource::peek(std::size_t n) const {
    std::vector<std::uint8_t> bytes(n);
    ssize_t got = -1;
    do got = ::pread(fd_, bytes.data(), n, 0);
    while (got < 0 && errno == EINTR);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
}

std::uint64_t FileImageSource::remaining() const {
    struct stat st {};
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0 || ::fstat(fd_, &st) != 0 || st.st_size < at) return 0;
    return static_cast<std::uint64_t>(st.st_size - at);
}

std::ptrdiff_t FileImageSource::read(std::uint8_t* into, std::size_t n) {
    for (;;) {
        const ssize_t got = ::read(fd_, into, n);
        if (got >= 0 || errno != EINTR) return got;
    }
}

}  // namespace kvr
