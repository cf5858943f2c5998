// Recordings in the sound library's formats (FLAC for kvrtool), written through its virtual
// file functions into a ByteSink. The samples are quantised to 16 bits exactly as for a
// 16-bit WAV file, so a lossless format holds the same values.
#include <sndfile.h>

#include <algorithm>
#include <vector>

#include "input/sample_encoder.hpp"

namespace kvr {

namespace {

// Where the library writes: it appends, and at the end goes back to complete its header.
struct Target {
    ByteSink& sink;
    std::uint64_t pos = 0;
};

sf_count_t target_length(void* user) { return static_cast<sf_count_t>(static_cast<Target*>(user)->sink.size()); }

sf_count_t target_seek(sf_count_t offset, int whence, void* user) {
    auto* t = static_cast<Target*>(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) base = static_cast<sf_count_t>(t->pos);
    else if (whence == SEEK_END) base = static_cast<sf_count_t>(t->sink.size());
    else if (whence != SEEK_SET) return -1;
    if (base + offset < 0) return -1;
    t->pos = static_cast<std::uint64_t>(base + offset);
    return base + offset;
}

sf_count_t target_read(void*, sf_count_t, void*) { return 0; }

sf_count_t target_write(const void* bytes, sf_count_t count, void* user) {
    auto* t = static_cast<Target*>(user);
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    auto n = static_cast<std::uint64_t>(count);
    const std::uint64_t size = t->sink.size();
    if (t->pos > size) {
        const std::vector<std::uint8_t> gap(t->pos - size, 0);
        t->sink.write(gap.data(), gap.size());
    } else if (t->pos < size) {
        const std::uint64_t over = std::min(n, size - t->pos);
        t->sink.patch(t->pos, p, over);
        p += over;
        n -= over;
        t->pos += over;
    }
    t->sink.write(p, n);
    t->pos += n;
    return count;
}

sf_count_t target_tell(void* user) { return static_cast<sf_count_t>(static_cast<Target*>(user)->pos); }

SF_VIRTUAL_IO target_io = {target_length, target_seek, target_read, target_write, target_tell};

class SoundFileEncoder : public SampleEncoder {
public:
    SoundFileEncoder(ByteSink& sink, int library_format, std::uint32_t rate, double compression) : target_{sink} {
        SF_INFO info{};
        info.samplerate = static_cast<int>(rate);
        info.channels = 1;
        info.format = library_format;
        file_ = sf_open_virtual(&target_io, SFM_WRITE, &info, &target_);
        if (file_ == nullptr) {
            error_ = std::string("the sound library refuses this: ") + sf_strerror(nullptr);
            return;
        }
        // 16-bit values go into floating-point formats divided by 32768, as a WAV reader
        // would scale them, not as they are.
        sf_command(file_, SFC_SET_SCALE_INT_FLOAT_WRITE, nullptr, SF_TRUE);
        if (compression >= 0.0) sf_command(file_, SFC_SET_COMPRESSION_LEVEL, &compression, sizeof compression);
    }
    ~SoundFileEncoder() override {
        if (file_ != nullptr) sf_close(file_);
    }
    SoundFileEncoder(const SoundFileEncoder&) = delete;
    SoundFileEncoder& operator=(const SoundFileEncoder&) = delete;

    bool opened() const { return file_ != nullptr; }

    void samples(const float* v, std::size_t n) override {
        if (file_ == nullptr || !error_.empty()) return;
        values_.resize(n);
        for (std::size_t i = 0; i < n; ++i) values_[i] = static_cast<short>(quantise(v[i], 16));
        if (sf_writef_short(file_, values_.data(), static_cast<sf_count_t>(n)) != static_cast<sf_count_t>(n))
            error_ = std::string("the sound library failed to write: ") + sf_strerror(file_);
    }

    void finish() override {
        if (file_ == nullptr) return;
        const int status = sf_close(file_);
        file_ = nullptr;
        if (status != 0 && error_.empty()) error_ = std::string("the sound library failed to finish: ") + sf_error_number(status);
    }

private:
    Target target_;
    SNDFILE* file_ = nullptr;
    std::vector<short> values_;
};

}  // namespace

std::unique_ptr<SampleEncoder> make_sound_file_encoder(int library_format, std::uint32_t rate, ByteSink& sink,
                                                       std::string& error, double compression) {
    if (rate > 0x7FFFFFFF) {
        error = "the rate is too high for the sound library";
        return nullptr;
    }
    auto encoder = std::make_unique<SoundFileEncoder>(sink, library_format, rate, compression);
    if (!encoder->opened()) {
        error = encoder->error();
        return nullptr;
    }
    return encoder;
}

}  // namespace kvr
