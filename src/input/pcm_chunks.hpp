// PCM frames converted a chunk at a time, so that no run of frames, however long, needs
// more than a small buffer.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "input/readers.hpp"

namespace kvr {

inline constexpr std::size_t kChunkFrames = std::size_t{1} << 16;

// Converts `frames` frames at `offset` of the file and calls fn(samples, n) for each chunk
// in order. Long runs are read through the fetcher, when there is one: it reads the bytes
// in small pieces that stay in the cache, which costs far less than touching every page
// of a mapped file. Frames the fetcher cannot read (a file cut short under us) are silent.
template <class Fn>
void convert_pcm_chunks(Bytes file, std::uint64_t offset, std::size_t frames, const PcmFormat& format,
                        const PcmFetcher* fetcher, Fn&& fn) {
    constexpr std::uint64_t kWorthFetching = std::uint64_t{1} << 20;
    const std::size_t frame = static_cast<std::size_t>(format.frame_bytes());
    if (fetcher != nullptr && frames * frame < kWorthFetching) fetcher = nullptr;
    // A VOC file may hold millions of tiny sound blocks: those need no buffer from the heap.
    constexpr std::size_t kSmall = 4096;
    if (fetcher == nullptr && frames <= kSmall) {
        std::int8_t small[kSmall];
        convert_pcm_samples(file.data() + offset, small, frames, format);
        if (frames > 0) fn(small, frames);
        return;
    }
    std::vector<std::int8_t> chunk(std::min(frames, kChunkFrames));
    std::vector<std::uint8_t> raw(fetcher != nullptr ? chunk.size() * frame : 0);
    while (frames > 0) {
        const std::size_t n = std::min(frames, kChunkFrames);
        const std::uint8_t* src = file.data() + offset;
        if (fetcher != nullptr) {
            const std::size_t got = fetcher->read(offset, n * frame, raw.data());
            if (got < n * frame) std::memset(raw.data() + got, 0, n * frame - got);
            src = raw.data();
        }
        convert_pcm_samples(src, chunk.data(), n, format);
        fn(chunk.data(), n);
        offset += n * frame;
        frames -= n;
    }
}

}  // namespace kvr
