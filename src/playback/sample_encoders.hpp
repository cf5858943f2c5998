// Encoders from rendered samples (full scale 1) into sample file formats.
#pragma once

#include <memory>
#include <string>

#include "playback/render.hpp"

namespace kvr {

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

// Renders the whole image at `rate` through an encoder of the caller's choosing (options.format
// and the sink are the encoder's business); false with its message when it failed.
bool render_tape_image(const TapeImage& image, const RenderOptions& options, std::uint32_t rate,
                       SampleEncoder& encoder, std::string& error);

// Full-scale samples as integers of `bits` bits: zero and above stay at or above zero.
std::int32_t quantise(float v, int bits);

// The time constant byte of an 8-bit VOC sound block nearest to a rate.
int voc_time_constant(std::uint32_t rate);

}  // namespace kvr
