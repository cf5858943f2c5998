#include "output/safe_output.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <utility>
#include <sys/random.h>
#include <unistd.h>

namespace kvr {

namespace {

constexpr std::size_t kFlushSize = std::size_t{1} << 16;
// A file written in place is held in memory up to this size before its old contents are
// truncated, so that a run that fails early leaves it as it was.
constexpr std::size_t kInPlaceHold = std::size_t{16} << 20;
constexpr int kMaxLinks = 40;  // as many as the kernel follows in one name
// Every signal whose default action ends the process (the real-time ones are added where
// they are needed: their numbers are known only when the program runs).
constexpr int kCleanupSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE,
                                   SIGUSR1, SIGSEGV, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU,
                                   SIGXFSZ, SIGVTALRM, SIGPROF, SIGPOLL, SIGPWR, SIGSYS};

sigset_t cleanup_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kCleanupSignals) sigaddset(&set, s);
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigaddset(&set, s);
    return set;
}

bool write_all(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t done = ::write(fd, p, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        p += done;
        n -= static_cast<std::size_t>(done);
    }
    return true;
}

bool pwrite_all(int fd, const std::uint8_t* p, std::size_t n, std::uint64_t offset) {
    while (n > 0) {
        const ssize_t done = ::pwrite(fd, p, n, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        p += done;
        n -= static_cast<std::size_t>(done);
        offset += static_cast<std::uint64_t>(done);
    }
    return true;
}

// ---- The temporary files that a signal must remove -------------------------------------

// Read by the signal handler: every field is set before `used`, with the signals blocked.
struct PendingTemporary {
    volatile std::sig_atomic_t used = 0;
    int dir_fd = -1;
    char name[16] = {};
};
PendingTemporary g_pending[4];

extern "C" void remove_temporaries_and_die(int sig) {
    const int saved = errno;
    for (const PendingTemporary& p : g_pending)
        if (p.used) ::unlinkat(p.dir_fd, p.name, 0);
    // The action is back at its default (SA_RESETHAND) and the signal is blocked while this
    // handler runs: it ends the process as soon as the handler returns.
    ::raise(sig);
    errno = saved;
}

// Keeps the cleanup signals out of a step that creates, renames or removes a temporary file
// and updates the record of it.
class CleanupSignalsHeld {
public:
    CleanupSignalsHeld() {
        const sigset_t set = cleanup_signals();
        ::pthread_sigmask(SIG_BLOCK, &set, &old_);
    }
    ~CleanupSignalsHeld() {
        const int saved = errno;
        ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
        errno = saved;
    }
    CleanupSignalsHeld(const CleanupSignalsHeld&) = delete;
    CleanupSignalsHeld& operator=(const CleanupSignalsHeld&) = delete;

private:
    sigset_t old_;
};

int remember_temporary(int dir_fd, const std::string& name) {
    for (int i = 0; i < static_cast<int>(std::size(g_pending)); ++i) {
        PendingTemporary& p = g_pending[i];
        if (p.used || name.size() >= sizeof p.name) continue;
        p.dir_fd = dir_fd;
        std::memcpy(p.name, name.c_str(), name.size() + 1);
        p.used = 1;
        return i;
    }
    return -1;  // more outputs at once than records: this one is not cleaned up on a signal
}

void forget_temporary(int slot) {
    if (slot >= 0) g_pending[slot].used = 0;
}

std::string random_letters(std::size_t n) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static std::uint64_t counter = 0;
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        bits = static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
               (static_cast<std::uint64_t>(::getpid()) << 16);
    }
    bits += 0x9E3779B97F4A7C15ULL * ++counter;
    std::string out;
    for (std::size_t i = 0; i < n; ++i, bits /= 62) out += kLetters[bits % 62];
    return out;
}

mode_t current_umask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// ---- Names ----------------------------------------------------------------------------

std::string parent_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string last_component(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool read_link(int dir_fd, const std::string& name, std::string& target) {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t n = ::readlinkat(dir_fd, name.c_str(), buffer.data(), buffer.size());
        if (n < 0) return false;
        if (static_cast<std::size_t>(n) < buffer.size()) {
            target.assign(buffer.data(), static_cast<std::size_t>(n));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// A descriptor that closes itself.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_;
};

// How far a name has been followed: the links taken so far, and why it was refused.
struct Walk {
    int links = 0;
    std::string refused;  // empty: the reason is in errno
};

// The kernel's protected-link rule: a link in a sticky, world-writable directory is followed
// only for its owner, or when the directory's owner also owns the link. Another user's link
// planted in /tmp must not send a root's output over a file of root's, neither as the last
// component of the name nor as a directory on the way.
bool may_follow(int dir_fd, const std::string& name, const struct stat& link, Walk& walk) {
    if (++walk.links > kMaxLinks) {
        errno = ELOOP;
        return false;
    }
    if (link.st_uid == ::geteuid()) return true;
    struct stat dir {};
    if (::fstat(dir_fd, &dir) != 0) return false;
    if ((dir.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH) || dir.st_uid == link.st_uid) return true;
    walk.refused = "the link " + name + " is another user's, in a folder that anyone may write to";
    return false;
}

// Opens the directory `path` (relative to `at`) one component at a time, taking every link
// on the way by the rule above; a descriptor for O_PATH use, or -1.
int open_directory(int at, const std::string& path, Walk& walk) {
    Fd dir(::openat(path.starts_with('/') ? AT_FDCWD : at, path.starts_with('/') ? "/" : ".",
                    O_PATH | O_DIRECTORY | O_CLOEXEC));
    // The components still to take, the next one last.
    std::vector<std::string> todo;
    auto push_components = [&todo](const std::string& text) {
        std::vector<std::string> parts;
        for (std::size_t from = 0; from <= text.size();) {
            const std::size_t slash = std::min(text.find('/', from), text.size());
            if (slash > from) parts.push_back(text.substr(from, slash - from));
            from = slash + 1;
        }
        todo.insert(todo.end(), parts.rbegin(), parts.rend());
    };
    push_components(path);
    while (dir.get() >= 0 && !todo.empty()) {
        const std::string name = std::move(todo.back());
        todo.pop_back();
        if (name == ".") continue;
        struct stat st {};
        if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
        if (S_ISLNK(st.st_mode)) {
            std::string target;
            if (!may_follow(dir.get(), name, st, walk) || !read_link(dir.get(), name, target)) return -1;
            if (target.empty()) {
                errno = ENOENT;
                return -1;
            }
            if (target.starts_with('/')) dir.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            push_components(target);
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return -1;
        }
        // Not a link when it was looked at; one put there since is not taken.
        dir.reset(::openat(dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return dir.release();
}

// Follows the symbolic links of `name`. Sets `dir_fd` and `base` to the directory and the
// name in it that is to be written (which need not exist yet); `through_kernel` when `base`
// is a link that only the kernel can resolve (a descriptor's link under /proc to a pipe).
// False when a link must not be followed or the directory cannot be reached.
bool follow_links(const std::string& name, int& dir_fd, std::string& base, bool& through_kernel, Walk& walk) {
    through_kernel = false;
    Fd at(AT_FDCWD);
    std::string path = name;
    for (;;) {
        Fd dir(open_directory(at.get(), parent_of(path), walk));
        if (dir.get() < 0) return false;
        base = last_component(path);
        struct stat link {};
        if (base.empty() || ::fstatat(dir.get(), base.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode)) {
            dir_fd = dir.release();
            return true;
        }
        std::string target;
        if (!may_follow(dir.get(), path, link, walk) || !read_link(dir.get(), base, target)) return false;
        if (target.empty()) {
            errno = ENOENT;
            return false;
        }
        struct stat probe {};
        const int target_at = target.starts_with('/') ? AT_FDCWD : dir.get();
        if (::fstatat(target_at, target.c_str(), &probe, AT_SYMLINK_NOFOLLOW) != 0 &&
            ::fstatat(dir.get(), base.c_str(), &probe, 0) == 0) {
            through_kernel = true;
            dir_fd = dir.release();
            return true;
        }
        // A relative target is taken from the link's own directory.
        at.reset(dir.release());
        path = std::move(target);
    }
}

}  // namespace

// ---- OutputFile -----------------------------------------------------------------------

bool OutputFile::open(const std::string& name) {
    abandon();
    failed_ = false;
    written_once_ = false;
    reason_.clear();
    std::string base;
    bool through_kernel = false;
    Walk walk;
    errno = 0;
    const bool opened = follow_links(name, dir_fd_, base, through_kernel, walk) &&
                        (through_kernel ? open_through_kernel(base) : open_in_directory(base));
    if (!opened) {
        if (reason_.empty()) reason_ = !walk.refused.empty() ? walk.refused : std::strerror(errno != 0 ? errno : EIO);
        abandon();
        return false;
    }
    buffer_.reserve(kFlushSize);
    return true;
}

bool OutputFile::open_descriptor(int fd) {
    abandon();
    failed_ = false;
    reason_.clear();
    fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (fd_ < 0) {
        reason_ = std::strerror(errno);
        return false;
    }
    way_ = Way::direct;
    // A pipe cannot be, and a file appended to must not be (the bytes would land at its
    // end), written at an offset: what was flushed is never patched there.
    const int flags = ::fcntl(fd_, F_GETFL);
    written_once_ = flags < 0 || (flags & O_APPEND) != 0 || ::lseek(fd_, 0, SEEK_CUR) != 0;
    buffer_.reserve(kFlushSize);
    return true;
}

bool OutputFile::open_in_directory(const std::string& base_name) {
    final_name_ = base_name;
    if (final_name_.empty() || final_name_ == "." || final_name_ == "..") {
        errno = EISDIR;
        return false;
    }
    const char* base = final_name_.c_str();
    struct stat st {};
    if (::fstatat(dir_fd_, base, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT || !create_temporary()) return false;
        way_ = Way::replace;
        return true;
    }
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        reason_ = "a link was put in its place while it was opened";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        // A device or a pipe cannot be replaced by a rename: written to directly.
        fd_ = ::openat(dir_fd_, base, O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
        way_ = Way::direct;
        return fd_ >= 0;
    }
    if (::faccessat(dir_fd_, base, W_OK, AT_EACCESS) != 0) return false;
    replaces_ = true;
    old_ = st;
    if (create_temporary()) {
        way_ = Way::replace;
        return true;
    }
    if (errno != EACCES && errno != EPERM) return false;
    // No file can be made in the directory, so the file itself is rewritten.
    fd_ = ::openat(dir_fd_, base, O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    if (fd_ < 0) return false;
    struct stat now {};
    if (::fstat(fd_, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
        reason_ = "another file was put in its place while it was opened";
        return false;
    }
    way_ = Way::in_place;
    return true;
}

bool OutputFile::open_through_kernel(const std::string& link) {
    fd_ = ::openat(dir_fd_, link.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0 || ::fstat(fd_, &old_) != 0) return false;
    if (S_ISDIR(old_.st_mode)) {
        errno = EISDIR;
        return false;
    }
    // A regular file without a name to rename onto (a deleted one) can only be rewritten.
    way_ = S_ISREG(old_.st_mode) ? Way::in_place : Way::direct;
    return true;
}

bool OutputFile::create_temporary() {
    new_file_mode_ = static_cast<mode_t>(0666 & ~current_umask());
    CleanupSignalsHeld held;
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Short, so that a name near the length limit still has room beside it.
        std::string name = ".kvr-" + random_letters(6);
        const int fd = ::openat(dir_fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            fd_ = fd;
            temp_name_ = std::move(name);
            slot_ = remember_temporary(dir_fd_, temp_name_);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

void OutputFile::write(const void* bytes, std::size_t n) {
    if (!is_open() || n == 0) return;
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    buffer_.insert(buffer_.end(), p, p + n);
    const bool holding = way_ == Way::in_place && !truncated_;
    if (buffer_.size() >= (holding ? kInPlaceHold : kFlushSize)) flush();
}

void OutputFile::patch(std::uint64_t offset, const void* bytes, std::size_t n) {
    if (!is_open() || n == 0) return;
    if (offset > size() || n > size() - offset) {
        failed_ = true;
        return;
    }
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    if (offset < flushed_) {
        if (written_once_) {
            failed_ = true;
            return;
        }
        const std::size_t head = static_cast<std::size_t>(std::min<std::uint64_t>(n, flushed_ - offset));
        if (!failed_ && !pwrite_all(fd_, p, head, offset)) failed_ = true;
        p += head;
        offset += head;
        n -= head;
    }
    if (n > 0) std::memcpy(buffer_.data() + (offset - flushed_), p, n);
}

void OutputFile::flush() {
    if (way_ == Way::in_place && !truncated_) {
        // The point of no return for a file written in place.
        truncated_ = true;
        if (::ftruncate(fd_, 0) != 0) failed_ = true;
        if ((old_.st_mode & 07000) != 0 && ::fchmod(fd_, old_.st_mode & 0777) != 0) failed_ = true;
    }
    if (!failed_ && !buffer_.empty() && !write_all(fd_, buffer_.data(), buffer_.size())) failed_ = true;
    flushed_ += buffer_.size();
    buffer_.clear();
}

void OutputFile::settle_replacement() {
    if (!replaces_) {
        if (::fchmod(fd_, new_file_mode_) != 0) failed_ = true;
        return;
    }
    // Only where the process may: root gives the file back to its owner, others keep at
    // least the group when they belong to it.
    const bool others = old_.st_uid != ::geteuid() || old_.st_gid != ::getegid();
    if (others && ::fchown(fd_, old_.st_uid, old_.st_gid) != 0) {
        const int group_only = ::fchown(fd_, static_cast<uid_t>(-1), old_.st_gid);
        static_cast<void>(group_only);  // refused: the file stays the process's own
    }
    // Never setuid, setgid or sticky: a replaced setuid program must not become root's.
    if (::fchmod(fd_, old_.st_mode & 0777) != 0) failed_ = true;
}

bool OutputFile::finish() {
    if (!is_open()) return false;
    flush();
    if (way_ == Way::replace && !failed_) settle_replacement();
    if (::close(fd_) != 0) failed_ = true;
    fd_ = -1;
    if (way_ == Way::replace) {
        CleanupSignalsHeld held;
        if (!failed_ && ::renameat(dir_fd_, temp_name_.c_str(), dir_fd_, final_name_.c_str()) != 0) failed_ = true;
        if (failed_) ::unlinkat(dir_fd_, temp_name_.c_str(), 0);
        forget_temporary(slot_);
        slot_ = -1;
        temp_name_.clear();
    }
    const bool ok = !failed_;
    abandon();
    return ok;
}

void OutputFile::abandon() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_name_.empty()) {
        CleanupSignalsHeld held;
        ::unlinkat(dir_fd_, temp_name_.c_str(), 0);
        forget_temporary(slot_);
        slot_ = -1;
        temp_name_.clear();
    }
    if (dir_fd_ >= 0) ::close(dir_fd_);
    dir_fd_ = -1;
    way_ = Way::closed;
    replaces_ = false;
    truncated_ = false;
    flushed_ = 0;
    buffer_.clear();
}

// ---- Process-wide helpers ---------------------------------------------------------------

void remove_temporaries_on_signals() {
    struct sigaction action {};
    action.sa_handler = remove_temporaries_and_die;
    action.sa_mask = cleanup_signals();
    action.sa_flags = SA_RESETHAND;
    for (int s = 1; s < NSIG; ++s) {
        // Only signals left at their default: one that is ignored stays ignored, and one that
        // is caught already (a sanitizer's fault handler) keeps its handler.
        struct sigaction old {};
        if (sigismember(&action.sa_mask, s) != 1 || ::sigaction(s, nullptr, &old) != 0 ||
            (old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL)
            continue;
        ::sigaction(s, &action, nullptr);
    }
}

bool is_same_file(const std::string& name, int fd) {
    struct stat a {}, b {};
    return ::stat(name.c_str(), &a) == 0 && ::fstat(fd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool is_same_regular_file(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino && S_ISREG(sa.st_mode);
}

}  // namespace kvr
