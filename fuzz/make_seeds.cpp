// Writes a short recording in every kind of file the readers know into a folder, as seeds
// for the fuzzers: a CSW version 2, the sound library's formats, and a bare pulse stream
// (for fuzz_csw2, whose input is the pulses).
//
//   make_fuzz_seeds DIR
#include <sndfile.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "input/sample_encoder.hpp"
#include "playback/render.hpp"

namespace {

// A turbo block of ten bytes, a fraction of a second.
std::vector<std::uint8_t> tiny_image() {
    std::vector<std::uint8_t> b{'V', 'o', 'r', 'n', 'a', 'k', '!', 0x1A, 1, 10, 0x11};
    auto word = [&](int v) {
        b.push_back(static_cast<std::uint8_t>(v & 0xFF));
        b.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    for (int v : {1500, 480, 520, 500, 1000, 300}) word(v);
    b.push_back(8);
    word(100);
    const std::uint8_t data[] = {0x42, 1, 2, 3, 4, 5, 6, 7, 8, 0x4A};
    word(sizeof data);
    b.push_back(0);
    b.insert(b.end(), data, data + sizeof data);
    return b;
}

bool save(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_seeds DIR\n");
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir);
    kvr::TapeImage image;
    std::string error;
    if (!kvr::parse_tape_image(tiny_image(), false, image, error)) return 1;
    kvr::RenderOptions options;
    options.rate = 8000;
    options.noise = 0.05;

    const struct {
        const char* name;
        int library_format;
    } sound_files[] = {
        {"tape.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16}, {"tape.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {"tape.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS},    {"tape.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
        {"tape.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16}, {"tape.caf", SF_FORMAT_CAF | SF_FORMAT_ALAC_16},
        {"tape.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_U8},   {"tape.rf64", SF_FORMAT_RF64 | SF_FORMAT_FLOAT},
    };
    for (const auto& f : sound_files) {
        kvr::MemorySink sink;
        auto encoder = kvr::make_sound_file_encoder(f.library_format, options.rate, sink, error);
        if (!encoder || !kvr::render_tape_image(image, options, options.rate, *encoder, error) ||
            !save(dir / f.name, sink.bytes)) {
            std::fprintf(stderr, "make_fuzz_seeds: %s: %s\n", f.name, error.c_str());
            return 1;
        }
    }
    for (kvr::SampleFormat format : {kvr::SampleFormat::csw, kvr::SampleFormat::csw2}) {
        kvr::MemorySink sink;
        options.format = format;
        if (!kvr::render_tape_image(image, options, sink, error)) return 1;
        if (format == kvr::SampleFormat::csw) {
            // fuzz_csw2 reads a flags byte, then pulses.
            std::vector<std::uint8_t> pulses(sink.bytes.begin() + 31, sink.bytes.end());
            pulses[0] = sink.bytes[28];
            if (!save(dir / "tape.pulses", pulses)) return 1;
        } else if (!save(dir / "tape.csw2", sink.bytes)) {
            return 1;
        }
    }
    return 0;
}
