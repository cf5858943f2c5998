// RIFF/WAVE: a "fmt " chunk, then a "data" chunk of integer or float PCM frames; read, and
// written by kvrtool play.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "formats/wav_format.hpp"
#include "formats/byte_cursor.hpp"
#include "input/readers.hpp"
#include "input/sample_encoder.hpp"

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
    // A size of 0 or all ones was left by a writer into a pipe; any other that runs past the
    // end of the file says that the file was cut short.
    const bool streamed = data_size == 0 || data_size == 0xFFFFFFFF;
    if (!streamed && data_size / format.frame_bytes() > frames)
        info.stated_length = static_cast<std::int64_t>(data_size / format.frame_bytes());
    info.type_name = "Wave Audio File (WAV)";
    info.frames_apart = true;
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

// ---- The encoder ----------------------------------------------------------------------------

namespace {

// A four-character identifier of a RIFF file.
void put_id(std::vector<std::uint8_t>& out, const char* id) { out.insert(out.end(), id, id + wav::kIdSize); }

void put_le(std::vector<std::uint8_t>& out, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

class WavEncoder : public SampleEncoder {
public:
    WavEncoder(ByteSink& sink, std::uint32_t rate, int bits, int channels, bool is_float)
        : sink_(sink), bits_(bits), channels_(channels), float_(is_float) {
        std::vector<std::uint8_t> h;
        const std::uint32_t block = static_cast<std::uint32_t>(bits / 8 * channels);
        put_id(h, wav::kRiff);
        put_le(h, 0, 4);
        put_id(h, wav::kWave);
        put_id(h, wav::kFormatChunk);
        put_le(h, 16, 4);
        put_le(h, is_float ? wav::kTagFloat : wav::kTagPcm, 2);
        put_le(h, static_cast<std::uint64_t>(channels), 2);
        put_le(h, rate, 4);
        put_le(h, std::uint64_t{rate} * block, 4);
        put_le(h, block, 2);
        put_le(h, static_cast<std::uint64_t>(bits), 2);
        put_id(h, wav::kDataChunk);
        put_le(h, 0, 4);
        sink_.write(h.data(), h.size());
    }

    void set_channel_gains(double left, double right) override {
        gains_[0] = static_cast<float>(left);
        gains_[1] = static_cast<float>(right);
    }

    void samples(const float* in, std::size_t n) override {
        out_.clear();
        for (std::size_t i = 0; i < n; ++i) {
            for (int c = 0; c < channels_; ++c) {
                // A gain of 1 leaves the value exactly as it was.
                const float x = channels_ == 2 ? in[i] * gains_[c] : in[i];
                if (float_) {
                    float f = std::clamp(x, -1.0f, 1.0f);
                    std::uint32_t u;
                    std::memcpy(&u, &f, 4);
                    put_le(out_, u, 4);
                } else if (bits_ == 8) {
                    out_.push_back(static_cast<std::uint8_t>(quantise(x, 8) + 128));
                } else {
                    put_le(out_, static_cast<std::uint32_t>(quantise(x, bits_)), bits_ / 8);
                }
            }
        }
        data_ += out_.size();
        sink_.write(out_.data(), out_.size());
    }

    void finish() override {
        if (data_ > 0xFFFFFFF0ULL) {
            error_ = "the recording is too long for a WAV file";
            return;
        }
        std::vector<std::uint8_t> v;
        put_le(v, 36 + data_, 4);
        sink_.patch(4, v.data(), 4);
        v.clear();
        put_le(v, data_, 4);
        sink_.patch(40, v.data(), 4);
    }

private:
    ByteSink& sink_;
    int bits_, channels_;
    bool float_;
    float gains_[2] = {1.0f, 1.0f};
    std::uint64_t data_ = 0;
    std::vector<std::uint8_t> out_;
};

}  // namespace

std::unique_ptr<SampleEncoder> make_wav_encoder(ByteSink& sink, std::uint32_t rate, int bits, int channels, bool is_float) {
    return std::make_unique<WavEncoder>(sink, rate, bits, channels, is_float);
}

}  // namespace kvr
