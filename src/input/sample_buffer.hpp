// The recording in memory: one signed byte per sample whose sign is the signal level,
// and the readers that fill it from VOC, WAV, CSW and other sound files held in memory.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "input/sample_vector.hpp"

namespace kvr {

class Console;

struct SampleBuffer {
    SampleVector sample_data;  // bit 7 set: low level; clear: high level
    std::int32_t sample_rate = 0;

    std::int32_t sample_count() const { return static_cast<std::int32_t>(sample_data.size()); }
};

// Facts about a loaded file, filled by a reader.
struct SampleInfo {
    const char* type_name = "";
    std::int32_t rate = 0;
    std::int32_t length = 0;
    std::int32_t hours = 0;
    std::int32_t minutes = 0;
    std::int32_t seconds = 0;
    std::int32_t hundredths = 0;
    std::string warning;  // something odd about a file that still loads; empty when none
};

enum LoadResult : int {
    LOAD_OK = 0,
    LOAD_NO_MEMORY = 1,
    LOAD_REJECTED = 2,
    LOAD_NOT_THIS_FORMAT = 3,
    LOAD_BAD_VERSION = 4,
    LOAD_BAD_DATA = 5,
    LOAD_EMPTY = 6,
    LOAD_TOO_LONG = 7,  // more samples than a 32-bit count holds
};

// The most samples a recording may have; readers refuse longer ones with LOAD_TOO_LONG.
inline constexpr std::int64_t kMaxSamples = 0x7FFFFFFF;

using Bytes = std::span<const std::uint8_t>;

struct PcmFormat;

// Converts long runs of PCM frames of the file being read. The readers parse everything
// from the bytes in memory; a mapped file can offer this to convert its sound data from
// small pieces read in turn, which costs far less than touching every mapped page.
class PcmFetcher {
public:
    virtual ~PcmFetcher() = default;
    // False when it could not; the reader then converts from the bytes in memory.
    virtual bool convert(std::uint64_t offset, std::size_t frames, const PcmFormat& format,
                         std::int8_t* dest) const = 0;
};

// Every reader: on LOAD_OK `out` holds info.length samples; on any other result it is empty.
// `max_samples` lets a caller (a fuzzer) lower the ceiling on what a tiny file may expand to.
LoadResult read_voc(Bytes file, SampleInfo& info, SampleVector& out,
                    std::int64_t max_samples = kMaxSamples, const PcmFetcher* fetcher = nullptr);
LoadResult read_wav(Bytes file, SampleInfo& info, SampleVector& out,
                    std::int64_t max_samples = kMaxSamples, const PcmFetcher* fetcher = nullptr);
LoadResult read_csw(Bytes file, SampleInfo& info, SampleVector& out,
                    std::int64_t max_samples = kMaxSamples, const PcmFetcher* fetcher = nullptr);
// Every other format the sound library knows (FLAC, AIFF, Ogg, MP3, RF64, W64, CAF...);
// tried after the three above have declined a file.
LoadResult read_sound_file(Bytes file, SampleInfo& info, SampleVector& out,
                           std::int64_t max_samples = kMaxSamples, const PcmFetcher* fetcher = nullptr);

// How the bytes of one PCM frame are laid out.
struct PcmFormat {
    std::uint32_t bits = 0;      // 8, 16, 24 or 32
    std::uint32_t channels = 0;  // 1 or more
    bool is_float = false;       // 32-bit IEEE float instead of integers

    std::uint64_t frame_bytes() const { return std::uint64_t{bits} / 8 * channels; }
    bool supported() const;
};

// Where a file's sound data lies, for those who want its channels apart.
struct PcmRun {
    std::uint64_t offset = 0;
    std::uint64_t frames = 0;
    PcmFormat format;
};

// The WAV reader's checks and facts without converting the sound: on LOAD_OK `run` says
// where the frames are.
LoadResult parse_wav(Bytes file, SampleInfo& info, PcmRun& run, std::int64_t max_samples = kMaxSamples);

// Converts `frames` whole frames from `src` into one element each at `dest`.
// `src` must hold at least frames * frame_bytes() bytes.
void convert_pcm_samples(const std::uint8_t* src, std::int8_t* dest, std::size_t frames,
                         const PcmFormat& format);
// The same for frames at an offset of the file, through the fetcher when there is one.
void convert_pcm_run(Bytes file, std::uint64_t offset, std::size_t frames, const PcmFormat& format,
                     std::int8_t* dest, const PcmFetcher* fetcher);

void compute_duration(SampleInfo& info);
void print_sample_info(Console& console, const SampleInfo& info);

// The message for a load result that ends the run, or nullptr for one that does not.
const char* load_error_message(LoadResult code);

// Loads the named file into the sample buffer and prints its info lines; returns false
// after a fatal error has been reported.
bool load_sample_file(const std::string& name, SampleBuffer& samples, Console& console);
// The same for a file already in memory.
bool load_sample_bytes(Bytes file, SampleBuffer& samples, Console& console, std::int64_t max_samples = kMaxSamples,
                       const PcmFetcher* fetcher = nullptr);

}  // namespace kvr
