#include "input/sample_encoder.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

namespace kvr {

void MemorySink::write(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    bytes.insert(bytes.end(), b, b + n);
}

void MemorySink::patch(std::size_t offset, const void* p, std::size_t n) {
    std::memcpy(bytes.data() + offset, p, n);
}

void FileSink::write(const void* p, std::size_t n) {
    if (n == 0) return;  // an empty chunk may come without any storage behind it
    if (std::fwrite(p, 1, n, file_) != n) ok_ = false;
    size_ += n;
}

void FileSink::patch(std::size_t offset, const void* p, std::size_t n) {
    if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0 || std::fwrite(p, 1, n, file_) != n) ok_ = false;
    if (std::fseek(file_, 0, SEEK_END) != 0) ok_ = false;
}

namespace {

// Every output format by name; add new formats here.
const struct {
    const char* name;
    SampleFormat format;
} kSampleFormats[] = {{"wav8", SampleFormat::wav8},   {"wav16", SampleFormat::wav16},   {"wav8s", SampleFormat::wav8s},
                      {"wav16s", SampleFormat::wav16s}, {"wav24", SampleFormat::wav24}, {"wavf32", SampleFormat::wavf32},
                      {"csw", SampleFormat::csw},     {"voc8", SampleFormat::voc8},     {"voc16", SampleFormat::voc16},
                      {"csw2", SampleFormat::csw2},   {"flac", SampleFormat::flac}};

}  // namespace

bool parse_sample_format(const std::string& name, SampleFormat& format) {
    for (const auto& n : kSampleFormats) {
        if (name == n.name) {
            format = n.format;
            return true;
        }
    }
    return false;
}

bool sample_format_for_name(const std::string& name, SampleFormat& format) {
    // The other formats of the same kind are asked for with --format.
    static const struct {
        const char* extension;
        SampleFormat format;
    } kExtensions[] = {{"wav", SampleFormat::wav16}, {"wave", SampleFormat::wav16}, {"csw", SampleFormat::csw},
                       {"voc", SampleFormat::voc16}, {"flac", SampleFormat::flac}};
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.find('/', dot) != std::string::npos) return false;
    std::string extension = name.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& e : kExtensions) {
        if (extension == e.extension) {
            format = e.format;
            return true;
        }
    }
    return false;
}

bool completes_header_at_end(SampleFormat format) {
    switch (format) {
    case SampleFormat::csw:
    case SampleFormat::voc8:
    case SampleFormat::voc16: return false;
    default: return true;  // WAV's sizes, CSW version 2's pulse count, FLAC's stream info
    }
}

std::string sample_format_names() {
    std::string names;
    for (const auto& n : kSampleFormats) {
        if (!names.empty()) names += ' ';
        names += n.name;
    }
    return names;
}

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
    case SampleFormat::wav8: return make_wav_encoder(sink, rate, 8, 1, false);
    case SampleFormat::wav16: return make_wav_encoder(sink, rate, 16, 1, false);
    case SampleFormat::wav8s: return make_wav_encoder(sink, rate, 8, 2, false);
    case SampleFormat::wav16s: return make_wav_encoder(sink, rate, 16, 2, false);
    case SampleFormat::wav24: return make_wav_encoder(sink, rate, 24, 1, false);
    case SampleFormat::wavf32: return make_wav_encoder(sink, rate, 32, 1, true);
    case SampleFormat::csw:
        if (rate > 65535) {
            error = "a CSW file cannot state a rate above 65535 Hz";
            return nullptr;
        }
        return make_csw_encoder(sink, rate, false);
    case SampleFormat::voc8: return make_voc_encoder(sink, rate, 8);
    case SampleFormat::voc16: return make_voc_encoder(sink, rate, 16);
    case SampleFormat::csw2: return make_csw_encoder(sink, rate, true);
    case SampleFormat::flac: return make_sound_file_encoder(SF_FORMAT_FLAC | SF_FORMAT_PCM_16, rate, sink, error);
    }
    return nullptr;
}

}  // namespace kvr
