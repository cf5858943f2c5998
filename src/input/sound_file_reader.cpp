// Every other format, through the sound library: each frame becomes one element by the rule
// of the WAV reader, the floor of the mean of the channels reduced to its top byte.
#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "input/sound_file.hpp"

namespace kvr {

namespace {

// The frames are handed to the PCM conversion as the bytes of 32-bit values in memory.
static_assert(std::endian::native == std::endian::little, "the PCM conversion reads little-endian values");

constexpr std::size_t kPieceValues = 1 << 16;

// Files that the first three readers know by their signature. They declined such a file
// before the sound library was asked; unless the library can read it whole, it goes on as
// it always did (no message, no recording).
bool has_classic_signature(Bytes file) {
    auto starts = [&](std::size_t at, const char* text, std::size_t n) {
        return file.size() >= at + n && std::memcmp(file.data() + at, text, n) == 0;
    };
    return starts(0, "Creative Voice File\x1A", 20) || (starts(0, "RIFF", 4) && starts(8, "WAVE", 4)) ||
           starts(0, "Compressed Square Wave\x1A", 23);
}

// Room for the frames a header states, as far as the file can plausibly hold them: a header
// never sizes more than the bytes behind it could decode to. The buffer grows past this with
// what really decodes.
std::int64_t first_room(std::int64_t stated, std::size_t file_size, std::int64_t max_samples) {
    constexpr std::int64_t kFramesPerByte = 64;  // beyond the strongest compression of a real recording
    const std::int64_t backed = static_cast<std::int64_t>(std::min<std::size_t>(file_size, std::size_t{1} << 40)) *
                                kFramesPerByte;
    return std::min({stated, backed, max_samples});
}

// Decodes every frame into `out`, piece by piece; the frame count in `total`.
template <class Value>
LoadResult decode_all(SoundFile& sound, SampleSink& out, std::int64_t max_samples, std::int64_t& total) {
    const auto channels = static_cast<std::size_t>(sound.channels());
    const std::size_t frames_per_piece = std::max<std::size_t>(1, kPieceValues / channels);
    std::vector<Value> piece(frames_per_piece * channels);
    const PcmFormat format{32, static_cast<std::uint32_t>(channels), std::is_same_v<Value, float>};
    std::vector<std::int8_t> converted(frames_per_piece);
    total = 0;
    while (const std::size_t n = sound.read(piece.data(), frames_per_piece)) {
        if (total + static_cast<std::int64_t>(n) > max_samples) return LOAD_TOO_LONG;
        convert_pcm_samples(reinterpret_cast<const std::uint8_t*>(piece.data()), converted.data(), n, format);
        if (!out.samples(converted.data(), n)) return LOAD_NO_MEMORY;
        total += static_cast<std::int64_t>(n);
    }
    return LOAD_OK;
}

LoadResult load(Bytes file, SoundFile& sound, SampleInfo& info, SampleSink& out, std::int64_t max_samples) {
    switch (sound.open(file)) {
    case SoundFile::Opened::unknown: return LOAD_NOT_THIS_FORMAT;
    case SoundFile::Opened::damaged: return LOAD_BAD_DATA;
    case SoundFile::Opened::ok: break;
    }
    if (sound.rate() <= 0 || sound.channels() <= 0) return LOAD_BAD_DATA;
    info.rate = sound.rate();
    if (sound.end_missing()) return LOAD_BAD_DATA;
    // A length the header states exactly is checked; an estimate or an unknown one is not.
    const std::int64_t stated = sound.stated_frames();
    const bool exact = stated >= 0 && sound.length_exact();
    // A long recording is refused by its header alone, before any of it is read.
    if (exact && stated > max_samples) return LOAD_TOO_LONG;
    if (!out.expect(first_room(stated < 0 ? max_samples : stated, file.size(), max_samples))) return LOAD_NO_MEMORY;

    std::int64_t total = 0;
    const LoadResult result = sound.decodes_to_float() ? decode_all<float>(sound, out, max_samples, total)
                                                       : decode_all<std::int32_t>(sound, out, max_samples, total);
    if (result != LOAD_OK) return result;
    // A decoder that stopped at damaged data, or that found another length than the header
    // promised: before the end of a file cut short, or past it where damaged frames claim more.
    if (sound.decode_failed() || (exact && total != stated)) return LOAD_BAD_DATA;
    info.length = static_cast<std::int32_t>(total);
    compute_duration(info);
    if (total == 0) return LOAD_EMPTY;
    info.type_name = sound.type_name();
    return LOAD_OK;
}

}  // namespace

LoadResult read_sound_file(Bytes file, SampleInfo& info, SampleSink& out, std::int64_t max_samples,
                           const PcmFetcher*) {
    out.clear();
    SoundFile sound;
    LoadResult result = load(file, sound, info, out, max_samples);
    if (result != LOAD_OK) {
        out.clear();
        if (result != LOAD_NOT_THIS_FORMAT && has_classic_signature(file)) result = LOAD_NOT_THIS_FORMAT;
    }
    return result;
}

}  // namespace kvr
