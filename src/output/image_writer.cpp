#include "output/image_writer.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr {

namespace {
constexpr std::size_t kFlushSize = 1 << 16;

bool write_all(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        ssize_t done = ::write(fd, p, n);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += done;
        n -= static_cast<std::size_t>(done);
    }
    return true;
}
}  // namespace

ImageWriter::~ImageWriter() { abandon(); }

bool ImageWriter::open_file(const std::string& name) {
    abandon();
    failed_ = false;
    buffer_.reserve(kFlushSize);
    struct stat st {};
    const bool exists = ::stat(name.c_str(), &st) == 0;
    if (exists) {
        if (S_ISDIR(st.st_mode) || ::access(name.c_str(), W_OK) != 0) return false;
        if (!S_ISREG(st.st_mode)) {
            // A device or a pipe is written to directly: it cannot be replaced by a rename.
            fd_ = ::open(name.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
            return fd_ >= 0;
        }
    }
    // Through a link, the file it points at is the one to replace.
    final_name_ = name;
    if (char* real = ::realpath(name.c_str(), nullptr)) {
        final_name_ = real;
        std::free(real);
    }
    std::vector<char> pattern(final_name_.begin(), final_name_.end());
    const char suffix[] = ".XXXXXX";
    pattern.insert(pattern.end(), suffix, suffix + sizeof suffix);
    fd_ = ::mkstemp(pattern.data());
    if (fd_ < 0) return false;
    temp_name_ = pattern.data();
    // mkstemp makes the file private; give it the permissions a newly created file gets,
    // or those of the file it replaces.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd_, exists ? (st.st_mode & 07777) : (0666 & ~mask));
    return true;
}

void ImageWriter::open_memory() {
    abandon();
    in_memory_ = true;
    memory_.clear();
    failed_ = false;
}

void ImageWriter::put(const void* bytes, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    if (in_memory_) {
        memory_.insert(memory_.end(), p, p + n);
        return;
    }
    if (fd_ < 0) return;
    buffer_.insert(buffer_.end(), p, p + n);
    if (buffer_.size() >= kFlushSize) flush_buffer();
}

void ImageWriter::flush_buffer() {
    if (!failed_ && !buffer_.empty() && !write_all(fd_, buffer_.data(), buffer_.size()))
        failed_ = true;
    buffer_.clear();
}

bool ImageWriter::finish() {
    if (in_memory_) return !failed_;
    if (fd_ < 0) return false;
    flush_buffer();
    if (::close(fd_) != 0) failed_ = true;
    fd_ = -1;
    if (!temp_name_.empty()) {
        if (!failed_ && std::rename(temp_name_.c_str(), final_name_.c_str()) != 0) failed_ = true;
        if (failed_) std::remove(temp_name_.c_str());
        temp_name_.clear();
    }
    return !failed_;
}

void ImageWriter::abandon() {
    memory_.clear();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temp_name_.empty()) {
        std::remove(temp_name_.c_str());
        temp_name_.clear();
    }
    buffer_.clear();
}

}  // namespace kvr
