// A whole input file in memory: mapped when it can be, read in one piece otherwise.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "input/readers.hpp"

namespace kvr {

// Opens a regular file for reading, or returns -1. The kind of file is checked before
// anything can block: opening a named pipe for reading waits for a writer.
int open_regular_file(const std::string& name);

class FileBytes : public PcmFetcher {
public:
    FileBytes() = default;
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes();

    // False when the name is not a regular file that can be opened for reading.
    bool open(const std::string& name);
    std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

    // True when the file was cut short while it was read. Reads of the mapping past the new
    // end then see zeros instead of ending the process, and what was read is not the file.
    bool shrank() const;

    // Reads a mapped file with a system call, into a buffer that stays in the cache.
    std::size_t read(std::uint64_t offset, std::size_t size, std::uint8_t* dest) const override;

private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    void* map_ = nullptr;
    int fd_ = -1;
    int guard_ = -1;  // the mapping's record in the bus error guard
    mutable std::atomic<bool> short_read_{false};
    std::vector<std::uint8_t> copy_;
};

// The load step on an opened file (load_sample_file opens it by name). A file that was cut
// short while it was read is reported, and nothing of it is kept.
// With a feed, the edges are handed on as they are read (see EdgeBuilder::feed).
bool load_opened_file(const std::string& name, const FileBytes& file, Recording& recording, Console& console,
                      EdgeFeed* feed = nullptr);

}  // namespace kvr
