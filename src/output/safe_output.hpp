// Writing an output file so that a failed or interrupted run never leaves a half-written
// file and never destroys what it did not create. Shared by kelvarin and kvrtool.
#pragma once

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace kvr {

// One output file, written strictly through a buffer:
// - a new file, or a regular file that is replaced, is written under a short temporary name
//   in its directory and renamed into place by finish(); the replaced file's owner and group
//   are kept where the process may set them, and its permission bits without setuid, setgid
//   and sticky;
// - a regular file in a directory where no temporary file can be made is written in place,
//   the only way left; it is not touched until the first bytes must be written;
// - a device or a pipe is written directly and never removed;
// - a symbolic link, at the end of the name or on the way to its directory, is followed only
//   where the kernel's protected-link rule would follow it.
class OutputFile {
public:
    enum class Way { closed, replace, in_place, direct };

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { abandon(); }

    bool open(const std::string& name);  // false when the file cannot (or must not) be written
    // Writes to a descriptor already open (a standard output), directly, never removing or
    // truncating what it leads to; false when it cannot be duplicated.
    bool open_descriptor(int fd);
    // Why the last open() failed, as a message's tail: "File name too long".
    const std::string& reason() const { return reason_; }
    Way way() const { return way_; }
    bool is_open() const { return way_ != Way::closed; }

    void write(const void* bytes, std::size_t n);
    // Overwrites bytes already written (a header whose sizes are known only at the end).
    void patch(std::uint64_t offset, const void* bytes, std::size_t n);
    std::uint64_t size() const { return flushed_ + buffer_.size(); }
    bool ok() const { return !failed_; }

    // Writes what is left and puts the file in place; false when anything failed, in which
    // case a temporary file is removed.
    bool finish();
    // Drops everything: a temporary file is removed, a file written in place is left as it
    // was when nothing has been written to it yet.
    void abandon();

private:
    // The name `base` in the directory dir_fd_: made afresh, replaced, or written to.
    bool open_in_directory(const std::string& base);
    // The link `link` in dir_fd_, opened as the kernel resolves it.
    bool open_through_kernel(const std::string& link);
    bool create_temporary();
    void flush();
    void settle_replacement();

    Way way_ = Way::closed;
    int fd_ = -1;
    int dir_fd_ = -1;
    int slot_ = -1;  // the signal cleanup's record of the temporary file
    std::string temp_name_;
    std::string final_name_;  // within the directory
    std::string reason_;
    bool replaces_ = false;   // an existing file is replaced: keep its owner and mode
    struct stat old_ {};
    mode_t new_file_mode_ = 0644;  // a new file's: 0666 less the umask
    bool failed_ = false;
    bool truncated_ = false;  // in place: the old contents are gone
    bool written_once_ = false;  // a descriptor that cannot be written at its start again
    std::uint64_t flushed_ = 0;
    std::vector<std::uint8_t> buffer_;
};

// Removes the temporary file of an unfinished output on every signal whose default action
// ends the process (SIGINT, SIGTERM, SIGALRM, SIGXCPU, SIGUSR1, the real-time signals ...),
// then ends the process by the same signal. Only signals at their default action are taken:
// ignored ones stay ignored, caught ones keep their handler.
void remove_temporaries_on_signals();

// True when `name` leads to the file that `fd` has open.
bool is_same_file(const std::string& name, int fd);

// True when both names lead to one existing regular file.
bool is_same_regular_file(const std::string& a, const std::string& b);

}  // namespace kvr
