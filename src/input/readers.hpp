// The readers of VOC, WAV, CSW and other sound files held in memory, and the load step
// that tries them in turn and prints what it found.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "input/recording.hpp"
#include "input/sample_sink.hpp"

namespace kvr {

class Console;
class EdgeFeed;

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
    bool frames_apart = false;  // its sound is one run of PCM frames whose channels may be read apart
    // The samples its header states, when that is more than the file holds (a file cut
    // short); else -1.
    std::int64_t stated_length = -1;
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

struct PcmFormat;

// Reads long runs of a file's sound data. The readers parse everything from the bytes in
// memory; a mapped file can offer this to read its sound data in small pieces in turn,
// which costs far less than touching every mapped page. It may be called from several
// threads at once.
class PcmFetcher {
public:
    virtual ~PcmFetcher() = default;
    // Copies `size` bytes at `offset` to dest; returns how many it could (fewer only when
    // the file was cut short while it was read).
    virtual std::size_t read(std::uint64_t offset, std::size_t size, std::uint8_t* dest) const = 0;
};

// Every reader: on LOAD_OK `out` has been given info.length samples; on any other result
// it has been cleared.
// `max_samples` lets a caller (a fuzzer) lower the ceiling on what a tiny file may expand to.
LoadResult read_voc(Bytes file, SampleInfo& info, SampleSink& out,
                    std::int64_t max_samples = kMaxSamples, const PcmFetcher* fetcher = nullptr);
LoadResult read_wav(Bytes file, SampleInfo& info, SampleSink& out,
                    std::int64_t max_samples = kMaxSamples, const PcmFetcher* fetcher = nullptr);
LoadResult read_csw(Bytes file, SampleInfo& info, SampleSink& out,
                    std::int64_t max_samples = kMaxSamples, const PcmFetcher* fetcher = nullptr);
// Every other format the sound library knows (FLAC, AIFF, Ogg, MP3, RF64, W64, CAF...);
// tried after the three above have declined a file.
LoadResult read_sound_file(Bytes file, SampleInfo& info, SampleSink& out,
                           std::int64_t max_samples = kMaxSamples, const PcmFetcher* fetcher = nullptr);

// How the bytes of one PCM frame are laid out.
struct PcmFormat {
    std::uint32_t bits = 0;      // 8, 16, 24 or 32
    std::uint32_t channels = 0;  // 1 or more
    bool is_float = false;       // 32-bit IEEE float instead of integers

    std::uint64_t frame_bytes() const { return std::uint64_t{bits} / 8 * channels; }
    bool supported() const;
};

// The little-endian 16-bit sample at p.
inline std::int32_t pcm16_sample(const std::uint8_t* p) { return static_cast<std::int16_t>(p[0] | (p[1] << 8)); }

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

void compute_duration(SampleInfo& info);
void print_sample_info(Console& console, const SampleInfo& info);

// The error of a load result that ends the run, or none for one that does not; and its message,
// or nullptr.
std::optional<Error> load_error(LoadResult code);
const char* load_error_message(LoadResult code);

// Tries the readers in turn: LOAD_OK from the first that takes the file, LOAD_NOT_THIS_FORMAT
// when none knows it, or the error that ends the run.
LoadResult read_any(Bytes file, SampleInfo& info, SampleSink& out, std::int64_t max_samples = kMaxSamples,
                    const PcmFetcher* fetcher = nullptr);

// Loads the named file as a recording and prints its info lines; returns false after a
// fatal error has been reported.
bool load_sample_file(const std::string& name, Recording& recording, Console& console);
// The same for a file already in memory.
bool load_sample_bytes(Bytes file, Recording& recording, Console& console, std::int64_t max_samples = kMaxSamples,
                       const PcmFetcher* fetcher = nullptr, EdgeFeed* feed = nullptr);
// The same checks and lines, the samples going into `sink`; `info` is what the reader that took
// the file found, and `taken` says whether one did (when none did, the conversion runs on an
// empty recording).
bool load_into(Bytes file, SampleSink& sink, SampleInfo& info, Console& console, std::int64_t max_samples = kMaxSamples,
               const PcmFetcher* fetcher = nullptr, bool* taken = nullptr);

}  // namespace kvr
