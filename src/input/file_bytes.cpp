#include "input/file_bytes.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr {

FileBytes::~FileBytes() {
    if (map_ != nullptr) ::munmap(map_, size_);
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
    ::close(fd);
    return true;
}

}  // namespace kvr
