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
    const std::string& error() const { return error_; }

protected:
    std::string error_;
};

std::unique_ptr<SampleEncoder> make_encoder(SampleFormat format, std::uint32_t rate, ByteSink& sink,
                                            std::string& error);

// The time constant byte of an 8-bit VOC sound block nearest to a rate.
int voc_time_constant(std::uint32_t rate);

}  // namespace kvr
