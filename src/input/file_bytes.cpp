#include "input/file_bytes.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr {

namespace {

// ---- The bus error guard ----------------------------------------------------------------
// A mapped file that another process truncates raises SIGBUS on the next read of a page past
// its new end. The guard puts zero pages there instead and notes that the file was cut, so
// the readers run to their end on harmless bytes and the loader reports the file as unread.

struct GuardedMapping {
    std::atomic<std::uintptr_t> start{0};
    std::atomic<std::size_t> length{0};
    std::atomic<int> cut{0};
};
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

GuardedMapping g_mappings[4];
struct sigaction g_previous_action {};
std::uintptr_t g_page_size = 4096;
bool g_guard_installed = false;

extern "C" void on_bus_error(int, siginfo_t* info, void*) {
    const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (GuardedMapping& m : g_mappings) {
        const std::uintptr_t start = m.start.load();
        const std::size_t length = m.length.load();
        if (start == 0 || at < start || at - start >= length) continue;
        const std::uintptr_t page = at & ~(g_page_size - 1);
        void* zeros = ::mmap(reinterpret_cast<void*>(page), start + length - page, PROT_READ,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (zeros != MAP_FAILED) {
            m.cut.store(1);
            return;  // the read is repeated, and now finds zeros
        }
    }
    // Not a guarded mapping: the fault repeats under the action that was there before.
    ::sigaction(SIGBUS, &g_previous_action, nullptr);
}

int guard_mapping(const void* map, std::size_t length) {
    if (!g_guard_installed) {
        g_guard_installed = true;
        const long page = ::sysconf(_SC_PAGESIZE);
        if (page > 0) g_page_size = static_cast<std::uintptr_t>(page);
        struct sigaction action {};
        action.sa_sigaction = on_bus_error;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO;
        ::sigaction(SIGBUS, &action, &g_previous_action);
    }
    for (int i = 0; i < static_cast<int>(std::size(g_mappings)); ++i) {
        GuardedMapping& m = g_mappings[i];
        if (m.start.load() != 0) continue;
        m.cut.store(0);
        m.length.store(length);
        m.start.store(reinterpret_cast<std::uintptr_t>(map));
        return i;
    }
    return -1;
}

}  // namespace

int open_regular_file(const std::string& name) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    // Without blocking, should the name lead to a pipe by now after all.
    const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

FileBytes::~FileBytes() {
    if (guard_ >= 0) g_mappings[guard_].start.store(0);
    if (map_ != nullptr) ::munmap(map_, size_);
    if (fd_ >= 0) ::close(fd_);
}

bool FileBytes::shrank() const {
    if (short_read_ || (guard_ >= 0 && g_mappings[guard_].cut.load() != 0)) return true;
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 && static_cast<std::uint64_t>(st.st_size) < size_;
}

std::size_t FileBytes::read(std::uint64_t offset, std::size_t size, std::uint8_t* dest) const {
    if (fd_ < 0) {  // read in one piece already
        const std::size_t got = offset < size_ ? std::min<std::size_t>(size, size_ - offset) : 0;
        if (got > 0) std::memcpy(dest, data_ + offset, got);
        return got;
    }
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd_, dest + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    // The file was cut short under us: its mapped pages past the new end are gone, so the
    // caller leaves the rest silent and the load step reports the file as unread.
    if (got < size) short_read_ = true;
    return got;
}

bool FileBytes::open(const std::string& name) {
    const int fd = open_regular_file(name);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
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
            guard_ = guard_mapping(map, size_);
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
