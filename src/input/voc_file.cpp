// Creative Voice File: a chain of typed blocks, with sound blocks, repeat loops and rates.
// Read, and written by kvrtool play.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "formats/voc_format.hpp"
#include "formats/byte_cursor.hpp"
#include "input/readers.hpp"
#include "input/sample_encoder.hpp"

namespace kvr {

namespace {

using namespace voc;
constexpr std::size_t kMaxLoopDepth = 32;
// Repeat blocks can nest a walk into billions of steps without a single sample; a file
// that needs more block visits than this is refused as too long rather than hanging.
constexpr std::uint64_t kMaxVisits = std::uint64_t{1} << 25;

struct Loop {
    std::uint64_t pos = 0;
    std::uint32_t count = 0;
};

// One walk over the blocks. Both passes run the same walk, so they see the same blocks.
struct VocWalk {
    ByteCursor cur;
    std::uint64_t start = 0;
    std::int64_t file_rate = -1;
    PcmFormat current;
    Loop loop;
    std::vector<Loop> stack;

    // Calls sound(offset, frames, format) for every sound block; returns LOAD_OK at the end.
    template <class Sound>
    LoadResult run(Sound&& sound) {
        cur.pos = start;
        file_rate = -1;
        current = PcmFormat{};
        loop = Loop{};
        stack.clear();
        for (std::uint64_t visits = 0;; ++visits) {
            if (visits > kMaxVisits) return LOAD_TOO_LONG;
            if (!cur.has(4) || cur.bytes[cur.pos] == kTerminator) return LOAD_OK;
            const std::uint8_t type = cur.bytes[cur.pos];
            const std::uint32_t length = cur.le(cur.pos + 1, 3);
            const std::uint64_t body = cur.pos + 4;
            cur.pos = body;
            LoadResult r = block(type, length, body, sound);
            if (r != LOAD_OK) return r;
        }
    }

    template <class Sound>
    LoadResult block(std::uint8_t type, std::uint32_t length, std::uint64_t body, Sound& sound) {
        switch (type) {
        case kSound: return sound_block(length, body, 2, sound);
        case kSoundContinued: return sound_block(length, body, 0, sound);
        case kSilence: cur.pos = body + 3; break;
        case kMarker: cur.pos = body + 2; break;
        case kRepeat: repeat_start(); break;
        case kRepeatEnd: repeat_end(); break;
        case kSoundWithFormat: return sound_block(length, body, 12, sound);
        default: cur.pos = body + length; break;  // text, and types this reader does not know
        }
        return LOAD_OK;
    }

    // A block of type 1 (two fixed bytes), 2 (none) or 9 (twelve fixed bytes).
    template <class Sound>
    LoadResult sound_block(std::uint32_t length, std::uint64_t body, std::uint32_t fixed, Sound& sound) {
        cur.pos = body + length;
        if (length < fixed) return LOAD_OK;  // shorter than its fixed part: passed over
        if (cur.bytes.size() < body + fixed) {
            cur.pos = cur.bytes.size();  // the fixed part is cut off by the end of the file
            return LOAD_OK;
        }
        std::int64_t block_rate = -1;
        if (fixed == 2) {
            block_rate = 1000000 / (256 - cur.bytes[body]);
            if (cur.bytes[body + 1] == 0) current = PcmFormat{8, 1, false};
        } else if (fixed == 12) {
            block_rate = cur.le(body, 4);
            PcmFormat stated{cur.bytes[body + 4], cur.bytes[body + 5], false};
            if ((stated.bits != 8 && stated.bits != 16) || stated.channels == 0 || block_rate == 0 ||
                block_rate > 0x7FFFFFFF)
                return LOAD_BAD_DATA;
            current = stated;
        }
        if (current.bits == 0) return LOAD_BAD_DATA;  // no format known yet
        if (block_rate > 0 && file_rate < 0) file_rate = block_rate;
        const std::uint64_t data = body + fixed;
        const std::uint64_t left = cur.bytes.size() > data ? cur.bytes.size() - data : 0;
        const std::uint64_t present = std::min<std::uint64_t>(length - fixed, left);
        return sound(std::min<std::uint64_t>(data, cur.bytes.size()), present / current.frame_bytes(), current);
    }

    void repeat_start() {
        std::uint32_t n = 0;
        if (!cur.read(2, n) || n == 0) return;
        if (stack.size() >= kMaxLoopDepth) return;
        stack.push_back(loop);
        loop = Loop{cur.pos, n};
    }

    void repeat_end() {
        if (loop.count == 0) return;
        if (--loop.count != 0) {
            cur.pos = loop.pos;
        } else if (!stack.empty()) {
            loop = stack.back();
            stack.pop_back();
        }
    }
};

}  // namespace

LoadResult read_voc(Bytes file, SampleInfo& info, SampleSink& out, std::int64_t max_samples,
                    const PcmFetcher* fetcher) {
    out.clear();
    if (file.size() < kHeaderSize || std::memcmp(file.data(), kSignature, kSignatureSize) != 0)
        return LOAD_NOT_THIS_FORMAT;
    ByteCursor header{file, 0};
    const std::uint32_t offset = header.le(20, 2);
    const std::uint32_t version = header.le(22, 2);
    const std::uint32_t check = header.le(24, 2);
    if (check != version_check(static_cast<std::uint16_t>(version))) return LOAD_REJECTED;
    info.type_name = "Creative Voice File (VOC)";

    VocWalk walk;
    walk.cur = ByteCursor{file, 0};
    walk.start = offset;
    std::int64_t total = 0;
    LoadResult r = walk.run([&](std::uint64_t, std::uint64_t frames, const PcmFormat&) {
        total += static_cast<std::int64_t>(frames);
        return total > max_samples ? LOAD_TOO_LONG : LOAD_OK;
    });
    if (r != LOAD_OK) return r;
    if (total == 0) return LOAD_EMPTY;  // no sound block, or only empty ones
    info.rate = static_cast<std::int32_t>(walk.file_rate);
    info.length = static_cast<std::int32_t>(total);
    compute_duration(info);
    if (!out.expect(total)) return LOAD_NO_MEMORY;

    std::int64_t left = total;
    r = walk.run([&](std::uint64_t at, std::uint64_t frames, const PcmFormat& format) {
        frames = std::min<std::uint64_t>(frames, static_cast<std::uint64_t>(left));
        left -= static_cast<std::int64_t>(frames);
        return out.pcm(file, at, static_cast<std::size_t>(frames), format, fetcher) ? LOAD_OK : LOAD_NO_MEMORY;
    });
    if (r != LOAD_OK) out.clear();
    return r;
}

// ---- The encoder ----------------------------------------------------------------------------

namespace {

void put_le(std::vector<std::uint8_t>& out, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

class VocEncoder : public SampleEncoder {
public:
    VocEncoder(ByteSink& sink, std::uint32_t rate, int bits) : sink_(sink), rate_(rate), bits_(bits) {
        std::vector<std::uint8_t> h;
        h.insert(h.end(), voc::kSignature, voc::kSignature + voc::kSignatureSize);
        put_le(h, voc::kHeaderSize, 2);
        put_le(h, voc::kVersion, 2);
        put_le(h, voc::version_check(voc::kVersion), 2);
        sink_.write(h.data(), h.size());
        chunk_.reserve(kMaxChunk + 1);
    }

    void samples(const float* v, std::size_t n) override {
        for (std::size_t i = 0; i < n; ++i) {
            if (bits_ == 8)
                chunk_.push_back(static_cast<std::uint8_t>(quantise(v[i], 8) + 128));
            else
                put_le(chunk_, static_cast<std::uint32_t>(quantise(v[i], 16)), 2);
            if (chunk_.size() >= kMaxChunk) emit();
        }
    }

    void finish() override {
        if (!chunk_.empty()) emit();
        const std::uint8_t terminator = 0;
        sink_.write(&terminator, 1);
    }

private:
    // A sound block per megabyte keeps the memory of playing small; the length field could
    // hold almost 16 MB.
    static constexpr std::size_t kMaxChunk = std::size_t{1} << 20;

    void emit() {
        std::vector<std::uint8_t> h;
        if (bits_ == 8) {
            h.push_back(voc::kSound);
            put_le(h, chunk_.size() + 2, 3);
            h.push_back(static_cast<std::uint8_t>(voc_time_constant(rate_)));
            h.push_back(0);
        } else {
            h.push_back(voc::kSoundWithFormat);
            put_le(h, chunk_.size() + 12, 3);
            put_le(h, rate_, 4);
            h.push_back(16);
            h.push_back(1);
            put_le(h, 4, 2);
            put_le(h, 0, 4);
        }
        sink_.write(h.data(), h.size());
        sink_.write(chunk_.data(), chunk_.size());
        chunk_.clear();
    }

    ByteSink& sink_;
    std::uint32_t rate_;
    int bits_;
    std::vector<std::uint8_t> chunk_;
};

}  // namespace

std::unique_ptr<SampleEncoder> make_voc_encoder(ByteSink& sink, std::uint32_t rate, int bits) {
    return std::make_unique<VocEncoder>(sink, rate, bits);
}

}  // namespace kvr
