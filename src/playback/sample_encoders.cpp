#include "playback/sample_encoders.hpp"

#include <sndfile.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "formats/csw_format.hpp"
#include "formats/voc_format.hpp"
#include "formats/wav_format.hpp"

namespace kvr {

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

std::int32_t quantise(float v, int bits) {
    const double scale = std::ldexp(1.0, bits - 1);
    const double q = std::floor(static_cast<double>(v) * scale);
    return static_cast<std::int32_t>(std::clamp(q, -scale, scale - 1.0));
}

int voc_time_constant(std::uint32_t rate) {
    const double tc = 256.0 - std::round(1000000.0 / rate);
    return static_cast<int>(std::clamp(tc, 0.0, 255.0));
}

std::unique_ptr<SampleEncoder> make_encoder(SampleFormat format, std::uint32_t rate, ByteSink& sink,
                                            std::string& error) {
    switch (format) {
    case SampleFormat::wav8: return std::make_unique<WavEncoder>(sink, rate, 8, 1, false);
    case SampleFormat::wav16: return std::make_unique<WavEncoder>(sink, rate, 16, 1, false);
    case SampleFormat::wav8s: return std::make_unique<WavEncoder>(sink, rate, 8, 2, false);
    case SampleFormat::wav16s: return std::make_unique<WavEncoder>(sink, rate, 16, 2, false);
    case SampleFormat::wav24: return std::make_unique<WavEncoder>(sink, rate, 24, 1, false);
    case SampleFormat::wavf32: return std::make_unique<WavEncoder>(sink, rate, 32, 1, true);
    case SampleFormat::csw:
        if (rate > 65535) {
            error = "a CSW file cannot state a rate above 65535 Hz";
            return nullptr;
        }
        return std::make_unique<CswEncoder>(sink, rate, false);
    case SampleFormat::voc8: return std::make_unique<VocEncoder>(sink, rate, 8);
    case SampleFormat::voc16: return std::make_unique<VocEncoder>(sink, rate, 16);
    case SampleFormat::csw2: return std::make_unique<CswEncoder>(sink, rate, true);
    case SampleFormat::flac: return make_sound_file_encoder(SF_FORMAT_FLAC | SF_FORMAT_PCM_16, rate, sink, error);
    }
    return nullptr;
}

}  // namespace kvr
