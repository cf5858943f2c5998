// Encoders from rendered samples (full scale 1) into sample files: the formats kvrtool
// plays an image into, and where their bytes go. Each format's encoder lives beside its
// reader.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace kvr {

enum class SampleFormat { wav8, wav16, wav8s, wav16s, wav24, wavf32, csw, voc8, voc16, csw2, flac };

bool parse_sample_format(const std::string& name, SampleFormat& format);
// Every format's name, in the order of the table, separated by spaces.
std::string sample_format_names();
// The format a file name asks for by its extension (".flac", ".csw" ...), in any case;
// false for a name of no sound file's extension.
bool sample_format_for_name(const std::string& name, SampleFormat& format);
// Whether the format's header is completed once every sample is written (its sizes), which
// needs an output that can be written at its start again: not a pipe.
bool completes_header_at_end(SampleFormat format);

// Where the encoded bytes go; headers are patched once the sizes are known.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual void write(const void* bytes, std::size_t n) = 0;
    virtual void patch(std::size_t offset, const void* bytes, std::size_t n) = 0;
    virtual std::size_t size() const = 0;
    virtual bool ok() const { return true; }
};

class MemorySink : public ByteSink {
public:
    std::vector<std::uint8_t> bytes;
    void write(const void* p, std::size_t n) override;
    void patch(std::size_t offset, const void* p, std::size_t n) override;
    std::size_t size() const override { return bytes.size(); }
};

class FileSink : public ByteSink {
public:
    explicit FileSink(std::FILE* f) : file_(f) {}
    void write(const void* p, std::size_t n) override;
    void patch(std::size_t offset, const void* p, std::size_t n) override;
    std::size_t size() const override { return size_; }
    bool ok() const override { return ok_; }

private:
    std::FILE* file_;
    std::size_t size_ = 0;
    bool ok_ = true;
};

class SampleEncoder {
public:
    virtual ~SampleEncoder() = default;
    virtual void samples(const float* v, std::size_t n) = 0;
    virtual void finish() = 0;
    // The gain of each channel of a two-channel format (below 0 inverts it); others ignore it.
    virtual void set_channel_gains(double /*left*/, double /*right*/) {}
    const std::string& error() const { return error_; }

protected:
    std::string error_;
};

std::unique_ptr<SampleEncoder> make_encoder(SampleFormat format, std::uint32_t rate, ByteSink& sink,
                                            std::string& error);

// A mono recording in one of the sound library's formats; `library_format` is the library's
// code of the container and coding. kvrtool offers FLAC; the tests use the others as well.
// `compression` is the library's level from 0 (best quality, largest file) to 1; below 0
// the library's default.
std::unique_ptr<SampleEncoder> make_sound_file_encoder(int library_format, std::uint32_t rate, ByteSink& sink,
                                                       std::string& error, double compression = -1.0);

// Full-scale samples as integers of `bits` bits: zero and above stay at or above zero.
std::int32_t quantise(float v, int bits);

// The time constant byte of an 8-bit VOC sound block nearest to a rate.
int voc_time_constant(std::uint32_t rate);

// Each format's own encoder, made by make_encoder.
std::unique_ptr<SampleEncoder> make_wav_encoder(ByteSink& sink, std::uint32_t rate, int bits, int channels, bool is_float);
std::unique_ptr<SampleEncoder> make_csw_encoder(ByteSink& sink, std::uint32_t rate, bool version2);
std::unique_ptr<SampleEncoder> make_voc_encoder(ByteSink& sink, std::uint32_t rate, int bits);

}  // namespace kvr
