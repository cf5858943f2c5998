// Compressed Square Wave: run-length coded pulses of alternating level. Version 1 with a
// 32-byte header; version 2 with a 52-byte header and the pulses plain or packed by zlib.
// Read, and written by kvrtool play.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/csw_format.hpp"
#include "formats/byte_cursor.hpp"
#include "input/readers.hpp"
#include "input/csw_pulses.hpp"
#include "input/sample_encoder.hpp"

namespace kvr {

namespace {

using namespace csw;

// Reads one pulse length; false when the pulse data has ended (a cut-off long pulse is dropped).
bool next_pulse(ByteCursor& cur, std::uint32_t& length) {
    std::uint32_t b;
    if (!cur.read(1, b)) return false;
    if (b != 0) {
        length = b;
        return true;
    }
    if (!cur.read(4, length)) {
        cur.pos = cur.bytes.size();
        return false;
    }
    return true;
}

// Counting pass: the samples and the number of the pulses; false as soon as the samples
// pass the ceiling.
bool count_pulses(Bytes pulses, std::int64_t max_samples, std::int64_t& samples, std::uint64_t& count) {
    ByteCursor cur{pulses, 0};
    samples = 0;
    count = 0;
    for (std::uint32_t n; next_pulse(cur, n); ++count) {
        samples += n;
        if (samples > max_samples) return false;
    }
    return true;
}

// Gives `out` the pulses of `total` samples in all, the first at level `low`.
LoadResult expand_pulses(Bytes pulses, std::int64_t total, bool low, SampleInfo& info, SampleSink& out) {
    info.length = static_cast<std::int32_t>(total);
    compute_duration(info);
    if (total == 0) return LOAD_EMPTY;
    if (!out.expect(total)) return LOAD_NO_MEMORY;
    std::int64_t left = total;
    ByteCursor cur{pulses, 0};
    bool ok = true;
    for (std::uint32_t n; ok && left > 0 && next_pulse(cur, n); low = !low) {
        // The pulses were counted once already; should the file change under us, no more
        // than the counted samples are given, and a shortfall is made up below.
        const std::int64_t length = std::min<std::int64_t>(n, left);
        ok = out.run(low, static_cast<std::uint64_t>(length));
        left -= length;
    }
    if (ok && left > 0) ok = out.run(low, static_cast<std::uint64_t>(left));
    if (!ok) {
        out.clear();
        return LOAD_NO_MEMORY;
    }
    return LOAD_OK;
}

// Version 2.00: rate (32 bits) at 25, pulse count at 29, compression at 33, flags at 34,
// length of the header extension at 35, the encoding program's name at 36 to 51.
LoadResult read_csw2(Bytes file, SampleInfo& info, SampleSink& out, std::int64_t max_samples) {
    if (file.size() < kHeaderSize2) return LOAD_BAD_DATA;
    const ByteCursor header{file, 0};
    const std::uint32_t rate = header.le(kRate, 4);
    const std::uint32_t stated_pulses = header.le(kPulseCount2, 4);
    const std::uint8_t compression = file[kCompression2];
    const std::size_t start = kHeaderSize2 + file[kExtension2];
    if (file.size() < start) return LOAD_BAD_DATA;
    if (compression != kRle && compression != kZrle) return LOAD_BAD_DATA;
    if (rate == 0 || rate > 0x7FFFFFFF) return LOAD_BAD_DATA;
    info.rate = static_cast<std::int32_t>(rate);
    info.type_name = "Compressed Square Wave (CSW)";

    bool low = (file[kFlags2] & kInitialHigh) == 0;
    std::uint64_t pulses = 0;
    std::int64_t total = 0;
    LoadResult result;
    if (compression == kRle) {
        if (!count_pulses(file.subspan(start), max_samples, total, pulses)) return LOAD_TOO_LONG;
        result = expand_pulses(file.subspan(start), total, low, info, out);
    } else {
        CompactPulses compact;
        switch (inflate_pulses(file.subspan(start), max_samples, compact)) {
        case InflateResult::corrupt: return LOAD_BAD_DATA;
        case InflateResult::too_long: return LOAD_TOO_LONG;
        case InflateResult::ok: break;
        }
        if (compact.first_flipped) low = !low;
        pulses = compact.pulses;
        result = expand_pulses(compact.rle, compact.samples, low, info, out);
    }
    // What the stream holds counts; a header that says otherwise is only worth a note.
    if (result == LOAD_OK && pulses != stated_pulses)
        info.warning = "the header states " + std::to_string(stated_pulses) + " pulses, the sample data holds " +
                       std::to_string(pulses);
    return result;
}

}  // namespace

LoadResult read_csw(Bytes file, SampleInfo& info, SampleSink& out, std::int64_t max_samples,
                    const PcmFetcher*) {
    out.clear();
    if (file.size() < kHeaderSize1 || std::memcmp(file.data(), kSignature, kSignatureSize) != 0)
        return LOAD_NOT_THIS_FORMAT;
    const std::uint8_t major = file[kVersionMajor], minor = file[kVersionMinor];
    if (major == 2 && minor == 0) return read_csw2(file, info, out, max_samples);
    if (major != 1 || (minor != 0 && minor != 1)) return LOAD_BAD_VERSION;
    if (file[kCompression1] != kRle) return LOAD_BAD_DATA;
    info.rate = file[kRate] | (file[kRate + 1] << 8);
    if (info.rate == 0) return LOAD_BAD_DATA;
    info.type_name = "Compressed Square Wave (CSW)";
    const bool low = !(minor == 1 && (file[kFlags1] & kInitialHigh));
    std::int64_t total = 0;
    std::uint64_t pulses = 0;
    if (!count_pulses(file.subspan(kHeaderSize1), max_samples, total, pulses)) return LOAD_TOO_LONG;
    return expand_pulses(file.subspan(kHeaderSize1), total, low, info, out);
}

// ---- The encoder ----------------------------------------------------------------------------

namespace {

void put_le(std::vector<std::uint8_t>& out, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Packs the run-length bytes of CSW version 2 with zlib as they come.
class Deflater {
public:
    Deflater() { ok_ = deflateInit(&z_, Z_DEFAULT_COMPRESSION) == Z_OK; }
    ~Deflater() {
        if (ok_) deflateEnd(&z_);
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    bool ok() const { return ok_; }

    // Compresses `in` (all of it) and writes what zlib hands out; `finish` ends the stream.
    bool put(const std::vector<std::uint8_t>& in, bool finish, ByteSink& sink) {
        z_.next_in = const_cast<Bytef*>(in.data());
        z_.avail_in = static_cast<uInt>(in.size());
        for (;;) {
            z_.next_out = piece_.data();
            z_.avail_out = static_cast<uInt>(piece_.size());
            const int ret = deflate(&z_, finish ? Z_FINISH : Z_NO_FLUSH);
            if (ret == Z_STREAM_ERROR) return false;
            sink.write(piece_.data(), piece_.size() - z_.avail_out);
            if (finish ? ret == Z_STREAM_END : (z_.avail_in == 0 && z_.avail_out != 0)) return true;
        }
    }

private:
    z_stream z_{};
    bool ok_ = false;
    std::array<std::uint8_t, 1 << 16> piece_;
};

// CSW: the lengths of the runs of one level. Version 1 stores them as they are, version 2
// (Z-RLE) packs them with zlib and states their number in the header.
class CswEncoder : public SampleEncoder {
public:
    CswEncoder(ByteSink& sink, std::uint32_t rate, bool version2) : sink_(sink), version2_(version2) {
        std::vector<std::uint8_t> h(version2 ? csw::kHeaderSize2 : csw::kHeaderSize1, 0);
        std::memcpy(h.data(), csw::kSignature, csw::kSignatureSize);
        if (version2) {
            h[csw::kVersionMajor] = 2;
            h[csw::kVersionMinor] = 0;
            for (std::size_t i = 0; i < 4; ++i) h[csw::kRate + i] = static_cast<std::uint8_t>(rate >> (8 * i));
            h[csw::kCompression2] = csw::kZrle;
            std::memcpy(h.data() + csw::kApplication2, "kvrtool", 7);  // the encoding program, 16 bytes
            deflater_ = std::make_unique<Deflater>();
            if (!deflater_->ok()) error_ = "zlib could not be started";
        } else {
            h[csw::kVersionMajor] = 1;
            h[csw::kVersionMinor] = 1;
            h[csw::kRate] = static_cast<std::uint8_t>(rate);
            h[csw::kRate + 1] = static_cast<std::uint8_t>(rate >> 8);
            h[csw::kCompression1] = csw::kRle;
        }
        sink_.write(h.data(), h.size());
    }

    void samples(const float* v, std::size_t n) override {
        out_.clear();
        for (std::size_t i = 0; i < n; ++i) {
            const bool high = quantise(v[i], 16) >= 0;
            if (!started_) {
                started_ = true;
                level_ = high;
                std::uint8_t flags = high ? 1 : 0;
                sink_.patch(version2_ ? 34 : 28, &flags, 1);
            }
            if (high != level_) {
                pulse();
                level_ = high;
            }
            ++run_;
        }
        put(false);
    }

    void finish() override {
        out_.clear();
        if (run_ > 0) pulse();
        put(true);
        if (!version2_) return;
        if (pulses_ > 0xFFFFFFFFULL) {
            error_ = "the recording has too many pulses for a CSW file";
            return;
        }
        std::uint8_t count[4];
        for (int i = 0; i < 4; ++i) count[i] = static_cast<std::uint8_t>(pulses_ >> (8 * i));
        sink_.patch(29, count, 4);
    }

private:
    void pulse() {
        if (run_ <= 255) {
            out_.push_back(static_cast<std::uint8_t>(run_));
        } else {
            out_.push_back(0);
            put_le(out_, run_, 4);
        }
        run_ = 0;
        ++pulses_;
    }

    void put(bool last) {
        if (!version2_) {
            sink_.write(out_.data(), out_.size());
        } else if (error_.empty() && !deflater_->put(out_, last, sink_)) {
            error_ = "zlib failed to compress the pulses";
        }
    }

    ByteSink& sink_;
    bool version2_;
    std::unique_ptr<Deflater> deflater_;
    bool started_ = false;
    bool level_ = false;
    std::uint32_t run_ = 0;
    std::uint64_t pulses_ = 0;
    std::vector<std::uint8_t> out_;
};

}  // namespace

std::unique_ptr<SampleEncoder> make_csw_encoder(ByteSink& sink, std::uint32_t rate, bool version2) {
    return std::make_unique<CswEncoder>(sink, rate, version2);
}

}  // namespace kvr
