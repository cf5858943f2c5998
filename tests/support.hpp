// Helpers shared by the tests: images built by hand, recordings rendered in memory, and
// conversions run on a fresh context.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <sys/types.h>
#include <vector>

#include "analysis/bits.hpp"
#include "analysis/hp_cursor.hpp"
#include "analysis/measure.hpp"
#include "analysis/pilot.hpp"
#include "conversion/context.hpp"
#include "formats/kvr_image.hpp"
#include "input/edge_builder.hpp"
#include "loaders/registry.hpp"
#include "loaders/report.hpp"
#include "loaders/rom_scheme.hpp"
#include "loaders/speedlock_common.hpp"
#include "playback/render.hpp"

namespace kvr::test {

using ByteVec = std::vector<std::uint8_t>;

// Appends KVR blocks with the byte layouts of the image format.
class ImageBuilder {
public:
    ImageBuilder();
    ImageBuilder& standard(const ByteVec& data, int pause_ms);
    ImageBuilder& turbo(int pilot, int sync1, int sync2, int bit0, int bit1, int pilots, int used_bits,
                        int pause_ms, const ByteVec& data);
    ImageBuilder& tone(int pulse, int count);
    ImageBuilder& pulses(const std::vector<int>& lengths);
    ImageBuilder& pure_data(int bit0, int bit1, int used_bits, int pause_ms, const ByteVec& data);
    ImageBuilder& pause(int ms);
    ImageBuilder& group_start(const std::string& name);
    ImageBuilder& group_end();
    const ByteVec& bytes() const { return bytes_; }

private:
    ByteVec bytes_;
};

// A data block with a good checksum: flag byte, payload, then the exclusive-or.
ByteVec with_checksum(std::uint8_t flag, const ByteVec& payload);
// A ROM header block for a program of the given name.
ByteVec rom_header(const std::string& name, std::uint8_t type = 0, std::uint16_t length = 256);
ByteVec pattern_bytes(std::size_t n, unsigned seed);

// Renders a KVR image into the bytes of a recording.
ByteVec render(const ByteVec& image, const RenderOptions& options = {});

// A sample buffer straight from HP lengths, the first HP low.
SampleVector samples_from_hps(const std::vector<std::int32_t>& hps);
// The recording the converter makes of samples, and its levels as samples again (-128 low,
// 127 high).
Recording recording_of(const SampleVector& samples, std::int32_t rate);
SampleVector levels_of(const Recording& recording);

// A signal of runs around zero for the front end's arithmetic: many exact zeros of both
// signs, values near each other and, with `with_nan`, values no comparison holds for.
std::vector<float> rough_signal(std::mt19937& rng, std::size_t n, bool with_nan);

struct Conversion {
    bool ok = false;  // loaded and converted without a fatal error
    std::string console;
    std::string warnings;
    ByteVec output;
    std::int32_t blocks = 0;
};

using Configure = std::function<void(Settings&)>;

// What one reader made of a file.
struct LoadedFile {
    LoadResult result = LOAD_NOT_THIS_FORMAT;
    SampleInfo info;
    SampleVector samples;
};
using Reader = LoadResult (*)(Bytes, SampleInfo&, SampleSink&, std::int64_t, const PcmFetcher*);
LoadedFile load_with(Reader reader, const ByteVec& file, std::int64_t max_samples = kMaxSamples);

// Converts a recording held in memory, with the output kept in memory.
Conversion convert(const ByteVec& recording, const Configure& configure = {});
// Converts a sample buffer at a rate, skipping the readers.
Conversion convert_samples(SampleVector samples, std::int32_t rate, const Configure& configure = {});

std::unique_ptr<Context> fresh_context();

// A recording made of HP lengths, with a cursor over it and the settings and block buffer
// that the analysers and decoders take.
struct HpTape {
    Recording recording;
    EdgeView view;
    HpCursor cursor;
    Settings settings;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kBlockDataSize);

    explicit HpTape(const std::vector<std::int32_t>& hps, std::int32_t rate = 44100);
    HpTape(const HpTape&) = delete;
    HpTape& operator=(const HpTape&) = delete;
    double spt() const { return cursor.samples_per_tstate(); }
};

// Runs a loader's decoder as a conversion would, with a fresh state of the loader.
DecodedBlock decode_with(const char* loader, HpTape& tape, const PilotResult& pilot, std::int32_t index,
                         std::int32_t last_block_end = 0);
// The bytes of the blocks a decoder put in front of its data.
ByteVec lead_in_bytes(const DecodedBlock& block);
// The report lines of a decoded block, as the conversion prints them.
std::string report_lines(const DecodedBlock& block);

// The part of the console text after the "Creating ..." line.
std::string report_of(const std::string& console);

// Tapes of the custom loaders.
// Two ROM blocks, as a Speedlock tape starts.
ImageBuilder rom_pair(const std::string& name);
// Two equal pulses per flag bit.
std::vector<int> flag_pulses(const std::string& flags, int zero, int one);
// A Speedlock type 3 or 4 block: pilot, the 28 pulses (the data follows).
void pilot_and_sync28(ImageBuilder& b, int bit0, int bit1, int pilots);
// The 42 pulses after each sub-block but the last.
std::vector<int> trailer();
// A Speedlock leader: `segments` tones of 200 HPs with a click between each two.
void speedlock_leader(ImageBuilder& b, int segments = 20);
// A Speedlock type 1 block up to its data: the leader, the sync and the flag pulses.
void speedlock1_head(ImageBuilder& b, const std::string& flags);
struct TwoBlocks {
    ByteVec block1;
    std::vector<ByteVec> subblocks;
};
// Four ROM blocks, then blocks 1 and 2 of a Speedlock type 3 or 4 tape.
ByteVec speedlock34_tape(int type, const TwoBlocks& t, int noise_ms = 0);
// Sub-blocks whose bytes all together have an exclusive-or of zero.
TwoBlocks sample_blocks();
// Four ROM blocks, then blocks 1 and 2 of a Speedlock type 2 tape, block 2 holding the
// first `subblocks` sub-blocks.
ByteVec speedlock2_tape(const TwoBlocks& t, std::size_t subblocks);
// Reads the blocks of a converted image.
std::vector<TapeBlock> blocks_of(const ByteVec& image);

// Files in a temporary folder that is removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    void write(const std::string& name, const ByteVec& bytes) const;
    ByteVec read(const std::string& name) const;

private:
    std::string dir_;
};

// Runs a program, returning its exit status and standard output.
int run_command(const std::string& command, std::string& output);

// kvrtool run with these arguments, its standard output and error together.
struct ToolRun {
    int status = 0;
    std::string out;
};
ToolRun kvrtool(const std::string& args);

// A program started without a shell, so that it can be signalled and its end examined.
class Child {
public:
    struct Options {
        int stdout_fd = -1;  // -1: /dev/null
        int stderr_fd = -1;
        int as_user = -1;    // a user id to run as (the group of the same number), or -1
    };
    Child(const std::vector<std::string>& argv, Options options);
    Child(const std::vector<std::string>& argv) : Child(argv, Options{}) {}
    ~Child();
    pid_t pid() const { return pid_; }
    // Waits for the end, killing the program after `limit_seconds`; the raw wait status.
    int wait(int limit_seconds = 120);
    long peak_memory_kib() const { return peak_kib_; }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    long peak_kib_ = 0;
};

// Runs `body` in a forked child as another user; its return value is the exit status.
int run_as_user(int uid, const std::function<int()>& body);

bool running_as_root();
constexpr int kNobody = 65534;

}  // namespace kvr::test
