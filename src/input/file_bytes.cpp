#include "input/file_bytes.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr {

FileBytes::~FileBytes() {
    if (map_ != nullptr) ::munmap(map_, size_);
    if (fd_ >= 0) ::close(fd_);
}

bool FileBytes::convert(std::uint64_t offset, std::size_t frames, const PcmFormat& format,
                        std::int8_t* dest) const {
    if (fd_ < 0 || map_ == nullptr) return false;  // a copy in memory is as good as it gets
    const std::size_t frame = static_cast<std::size_t>(format.frame_bytes());
    std::vector<std::uint8_t> piece((std::size_t{1} << 20) / frame * frame);
    while (frames > 0) {
        const std::size_t want = std::min(frames, piece.size() / frame);
        std::size_t got = 0;
        while (got < want * frame) {
            const ssize_t n = ::pread(fd_, piece.data() + got, want * frame - got, static_cast<off_t>(offset + got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        const std::size_t whole = got / frame;
        convert_pcm_samples(piece.data(), dest, whole, format);
        if (whole < want) {
            // The file changed under us: the mapped bytes are what the reader measured.
            convert_pcm_samples(data_ + offset + whole * frame, dest + whole, frames - whole, format);
            return true;
        }
        dest += want;
        offset += want * frame;
        frames -= want;
    }
    return true;
}

bool FileBytes::open(const std::string& name) {
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    size_ = static_cast<std::size_t>(st.st_size);
    if (size_ > 0) {
        void* map = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (map != MAP_FAILED) {
            ::madvise(map, size_, MADV_SEQUENTIAL);
            map_ = map;
            data_ = static_cast<const std::uint8_t*>(map);
        } else {
            // Some file systems cannot map; read the file in one piece instead.
            copy_.resize(size_);
            std::size_t done = 0;
            while (done < size_) {
                ssize_t n = ::read(fd, copy_.data() + done, size_ - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
            copy_.resize(done);
            size_ = done;
            data_ = copy_.data();
        }
    }
    if (map_ != nullptr)
        fd_ = fd;  // kept for reading sound data in pieces
    else
        ::close(fd);
    return true;
}

}  // namespace kvr
