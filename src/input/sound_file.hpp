// A recording in any format the sound library reads, opened over the file's bytes in
// memory. It hands out frames with every channel kept, so that a caller may judge the
// channels separately or reduce them as it likes.
#pragma once

#include <cstdint>

#include "input/readers.hpp"

struct sf_private_tag;

namespace kvr {

class SoundFile {
public:
    enum class Opened {
        ok,
        unknown,  // no format the library knows
        damaged,  // a format it knows, but a header it cannot use
    };

    SoundFile() = default;
    SoundFile(const SoundFile&) = delete;
    SoundFile& operator=(const SoundFile&) = delete;
    ~SoundFile();

    // `file` must outlive the SoundFile.
    Opened open(Bytes file);

    int rate() const { return rate_; }
    int channels() const { return channels_; }
    // The number of frames the file states, or -1 when the library could not learn it.
    std::int64_t stated_frames() const { return frames_; }
    // False where the stated number is only an estimate (MPEG audio without a header frame
    // that counts the frames).
    bool length_exact() const { return length_exact_; }
    // True where the library could not find the end that the format always has (the last
    // page of an Ogg stream): the file has been cut short. Other formats may leave the
    // length unknown (a FLAC stream written to a pipe) and are read to their end.
    bool end_missing() const { return end_missing_; }
    // True for codecs that decode to floating point (float PCM, Vorbis, Opus, MPEG audio):
    // read them as floats, the others as integers.
    bool decodes_to_float() const { return float_; }
    // "<name> Audio File (<kind>)" from the library's names of the format and its coding.
    const char* type_name() const { return type_name_; }

    // Read up to `frames` frames, channels interleaved, into `dest`: integers at full 32-bit
    // scale, or floats at full scale 1. Return the frames read; 0 at the end or on an error.
    std::size_t read(std::int32_t* dest, std::size_t frames);
    std::size_t read(float* dest, std::size_t frames);
    // True when the decoder stopped at damaged data rather than at the end.
    bool decode_failed() const;

    // What the virtual file functions work on.
    struct Source {
        Bytes bytes;
        std::uint64_t pos = 0;
    };

private:
    sf_private_tag* file_ = nullptr;
    Source source_;
    int rate_ = 0;
    int channels_ = 0;
    std::int64_t frames_ = -1;
    bool length_exact_ = true;
    bool end_missing_ = false;
    bool float_ = false;
    const char* type_name_ = "";
};

}  // namespace kvr
