// PCM frames into sample elements: the floor of the channels' mean, reduced to its top byte.
#include <cmath>
#include <cstring>

#include "input/readers.hpp"

namespace kvr {

bool PcmFormat::supported() const {
    if (channels == 0) return false;
    if (is_float) return bits == 32;
    return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

namespace {

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if (a % b != 0 && a < 0) --q;
    return q;
}

// One channel value, signed, at its full width.
std::int64_t channel_value(const std::uint8_t* p, std::uint32_t bits) {
    switch (bits) {
    case 8: return std::int64_t{p[0]} - 128;
    case 16: return pcm16_sample(p);
    case 24: {
        std::int32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
        return v >= 0x800000 ? v - 0x1000000 : v;
    }
    default: {
        std::uint32_t u = p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
        return static_cast<std::int32_t>(u);
    }
    }
}

std::int8_t float_frame(const std::uint8_t* p, std::uint32_t channels) {
    double sum = 0.0;
    for (std::uint32_t c = 0; c < channels; ++c) {
        float f;
        std::memcpy(&f, p + 4 * c, 4);
        sum += f;
    }
    double v = std::floor(sum / channels * 128.0);
    if (!(v > -128.0)) return std::isnan(v) ? 0 : -128;
    if (v > 127.0) return 127;
    return static_cast<std::int8_t>(v);
}

void convert_generic(const std::uint8_t* src, std::int8_t* dest, std::size_t frames,
                     const PcmFormat& f) {
    const std::size_t step = f.bits / 8;
    const std::size_t frame = step * f.channels;
    for (std::size_t i = 0; i < frames; ++i, src += frame) {
        if (f.is_float) {
            dest[i] = float_frame(src, f.channels);
            continue;
        }
        std::int64_t sum = 0;
        for (std::uint32_t c = 0; c < f.channels; ++c) sum += channel_value(src + c * step, f.bits);
        dest[i] = static_cast<std::int8_t>(floor_div(sum, f.channels) >> (f.bits - 8));
    }
}

}  // namespace

void convert_pcm_samples(const std::uint8_t* src, std::int8_t* dest, std::size_t frames,
                         const PcmFormat& format) {
    // The common layouts get loops of their own that the compiler can vectorise.
    if (!format.is_float && format.channels == 1 && format.bits == 8) {
        for (std::size_t i = 0; i < frames; ++i) dest[i] = static_cast<std::int8_t>(src[i] ^ 0x80);
    } else if (!format.is_float && format.channels == 2 && format.bits == 8) {
        for (std::size_t i = 0; i < frames; ++i)
            dest[i] = static_cast<std::int8_t>(((src[2 * i] + src[2 * i + 1]) >> 1) ^ 0x80);
    } else if (!format.is_float && format.channels == 1 && format.bits == 16) {
        for (std::size_t i = 0; i < frames; ++i) dest[i] = static_cast<std::int8_t>(src[2 * i + 1]);
    } else if (!format.is_float && format.channels == 2 && format.bits == 16) {
        for (std::size_t i = 0; i < frames; ++i) {
            const std::uint8_t* p = src + 4 * i;
            std::int32_t l = pcm16_sample(p);
            std::int32_t r = pcm16_sample(p + 2);
            dest[i] = static_cast<std::int8_t>((l + r) >> 9);
        }
    } else if (!format.is_float && format.channels == 1 && format.bits == 32) {
        for (std::size_t i = 0; i < frames; ++i) dest[i] = static_cast<std::int8_t>(src[4 * i + 3]);
    } else if (!format.is_float && format.channels == 2 && format.bits == 32) {
        for (std::size_t i = 0; i < frames; ++i) {
            const std::uint8_t* p = src + 8 * i;
            std::int64_t l = static_cast<std::int32_t>(p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24));
            std::int64_t r = static_cast<std::int32_t>(p[4] | (p[5] << 8) | (p[6] << 16) | (std::uint32_t{p[7]} << 24));
            dest[i] = static_cast<std::int8_t>((l + r) >> 25);
        }
    } else {
        convert_generic(src, dest, frames, format);
    }
}

}  // namespace kvr
