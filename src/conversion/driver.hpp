// The conversion of a loaded recording into a KVR image or a TAP file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "conversion/found_tape.hpp"
#include "loaders/read_block.hpp"

namespace kvr {

struct Context;
struct KeptStretch;
class SignalKeeper;

struct ConversionResult {
    bool ok = false;          // the output was written (or, with no block found, left alone)
    std::int32_t blocks = 0;  // the blocks found
};

// A block's first reading, and what a retry needs to read it again.
struct FirstReading {
    const ReadStart& start;
    const LoaderDescriptor& loader;
    const LoaderState& state;  // the loader's state before the reading
    const BlockReading& reading;
};

// A reading that replaces the first, with the loader's state as it leaves it.
struct BetterReading {
    BlockReading reading;
    std::unique_ptr<LoaderState> state;
};

// Gives a block that read badly another chance. The classic conversion has none; kvrtool's
// recovering conversion reads such blocks again from other levels and with other rules.
class BlockRetry {
public:
    virtual ~BlockRetry() = default;
    // Sees every block read; may give a better reading of it.
    virtual std::optional<BetterReading> improve(const FirstReading& first) = 0;
    virtual RetryOutcome last_outcome() const { return {}; }
};

// Sees what the report shows, as data, for those who present it otherwise (kvrtool report).
class ConversionObserver {
public:
    virtual ~ConversionObserver() = default;
    // Every block as it is reported, with where it lies and how sure its reading was.
    virtual void block(const FoundBlock& found) = 0;
    // The pause after the block before, as its report line ends.
    virtual void pause(float seconds) = 0;
    // A stretch of signal no block was read from, kept as its pulses, as its line is reported.
    virtual void kept(const KeptStretch&) {}
};

// Sees the whole tape as the reading found it, before any of it is written, and may mend it:
// replace blocks with better readings, add blocks the reading missed.
class TapeMender {
public:
    virtual ~TapeMender() = default;
    virtual void mend(FoundTape& tape) = 0;
};

struct ConversionHooks {
    BlockRetry* retry = nullptr;
    TapeMender* mender = nullptr;  // with one, the tape is written only once it is read whole
    // Given one, the tape read (and mended) goes there instead of into an output: its lines
    // are reported as they would be, and no file is made.
    FoundTape* found = nullptr;
    ConversionObserver* observer = nullptr;
    // With one, the signal between the blocks that no loader read goes into the image too.
    SignalKeeper* keeper = nullptr;
    // Told the part of the recording read so far (0 to 1), every percent or so.
    void (*progress)(void* context, double done) = nullptr;
    void* progress_context = nullptr;
    // Asked once the whole recording is read, before anything is reported of the end or the
    // output is kept: false drops the output (the recording was not read after all).
    bool (*keep_output)(void* context) = nullptr;
    void* keep_output_context = nullptr;
    // Whether the report names the output it creates ("Creating ... file").
    bool says_creating = true;
};

// Converts the whole recording into the output named in the settings (or the output
// already open in the context); errors are reported on the console.
ConversionResult run_conversion(Context& cx, const ConversionHooks& hooks = {});

// Writes a tape found before (of the recording in the context, or put together of several),
// with its report lines, into the output named in the settings.
ConversionResult write_tape(Context& cx, FoundTape&& tape, ConversionObserver* observer = nullptr, bool says_creating = true);

}  // namespace kvr
