// RIFF/WAVE: a "fmt " chunk, then a "data" chunk of integer or float PCM frames.
#include <algorithm>
#include <cstring>

#include "formats/wav_format.hpp"
#include "formats/byte_cursor.hpp"
#include "input/readers.hpp"

namespace kvr {

namespace {

using namespace wav;

bool is_chunk_id_char(std::uint8_t c) { return c >= 0x20 && c <= 0x7E; }

struct ChunkSearch {
    ByteCursor cur;
    std::uint32_t riff_size = 0;
    std::uint64_t skipped = 0;  // body sizes of the chunks passed over so far

    // A writer that streams to a pipe does not know the size yet and leaves 0 or all ones:
    // then the search runs to the end of the file.
    bool limited() const { return riff_size != 0 && riff_size != 0xFFFFFFFF; }

    // Leaves the cursor at the body of the wanted chunk and returns its size, or returns false.
    bool find(const char* id, std::uint32_t& body_size) {
        for (;;) {
            if (!cur.has(8)) return false;
            const bool match = std::memcmp(cur.here(), id, 4) == 0;
            body_size = cur.le(cur.pos + 4, 4);
            cur.pos += 8;
            if (match) return true;
            cur.pos += body_size;
            skip_padding(body_size);
            skipped += body_size;
            if (limited() && skipped >= riff_size) return false;
        }
    }

    // RIFF pads an odd-sized body with a zero byte, but not every writer does: the byte is
    // passed over only when it is 0 and a chunk identifier follows it.
    void skip_padding(std::uint32_t body_size) {
        if (body_size % 2 == 0 || !cur.has(5) || cur.bytes[cur.pos] != 0) return;
        for (std::uint64_t i = 1; i <= 4; ++i)
            if (!is_chunk_id_char(cur.bytes[cur.pos + i])) return;
        ++cur.pos;
    }
};

// The frame layout named by the "fmt " body, or an unsupported one.
PcmFormat read_format(const ByteCursor& cur, std::uint64_t body, std::uint32_t body_size) {
    std::uint32_t tag = cur.le(body, 2);
    PcmFormat f;
    f.channels = cur.le(body + 2, 2);
    f.bits = cur.le(body + 14, 2);
    if (tag == kTagExtensible) {
        // The sub-format's first two bytes hold the plain tag.
        tag = (body_size >= 26 && cur.bytes.size() >= body + 26) ? cur.le(body + 24, 2) : 0;
    }
    if (tag == kTagFloat) f.is_float = true;
    else if (tag != kTagPcm) f.channels = 0;  // marks the format as unsupported
    return f;
}

}  // namespace

LoadResult parse_wav(Bytes file, SampleInfo& info, PcmRun& run, std::int64_t max_samples) {
    if (file.size() < 12 || std::memcmp(file.data(), kRiff, kIdSize) != 0 ||
        std::memcmp(file.data() + 8, kWave, kIdSize) != 0)
        return LOAD_NOT_THIS_FORMAT;
    ChunkSearch search{ByteCursor{file, 12}, static_cast<std::uint32_t>(file[4] | (file[5] << 8) |
                                                                        (file[6] << 16) |
                                                                        (std::uint32_t{file[7]} << 24))};
    std::uint32_t fmt_size = 0;
    if (!search.find(kFormatChunk, fmt_size)) return LOAD_REJECTED;
    if (fmt_size < 16) return LOAD_REJECTED;
    const std::uint64_t body = search.cur.pos;
    if (!search.cur.has(fmt_size < 20 ? 16 : 20)) return LOAD_NOT_THIS_FORMAT;

    const std::uint32_t rate = search.cur.le(body + 4, 4);
    info.rate = static_cast<std::int32_t>(rate);
    const PcmFormat format = read_format(search.cur, body, fmt_size);
    const bool usable = format.supported() && rate != 0 && rate <= 0x7FFFFFFF;
    search.cur.pos = body + fmt_size;
    search.skip_padding(fmt_size);

    std::uint32_t data_size = 0;
    if (!search.find(kDataChunk, data_size)) return usable ? LOAD_NOT_THIS_FORMAT : LOAD_BAD_DATA;
    if (!usable) return LOAD_BAD_DATA;

    // Only the whole frames that the file really holds are counted.
    const std::uint64_t present = std::min<std::uint64_t>(data_size, search.cur.left());
    const std::uint64_t frames = present / format.frame_bytes();
    if (frames > static_cast<std::uint64_t>(max_samples)) return LOAD_TOO_LONG;
    info.length = static_cast<std::int32_t>(frames);
    compute_duration(info);
    if (frames == 0) return LOAD_EMPTY;
    info.type_name = "Wave Audio File (WAV)";
    run = PcmRun{search.cur.pos, frames, format};
    return LOAD_OK;
}

LoadResult read_wav(Bytes file, SampleInfo& info, SampleSink& out, std::int64_t max_samples,
                    const PcmFetcher* fetcher) {
    out.clear();
    PcmRun run;
    const LoadResult r = parse_wav(file, info, run, max_samples);
    if (r != LOAD_OK) return r;
    const auto frames = static_cast<std::size_t>(run.frames);
    if (!out.expect(static_cast<std::int64_t>(frames)) || !out.pcm(file, run.offset, frames, run.format, fetcher)) {
        out.clear();
        return LOAD_NO_MEMORY;
    }
    return LOAD_OK;
}

}  // namespace kvr
