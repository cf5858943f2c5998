// kvrtool convert's conversion: a signal front end between the reader and the analysis,
// and checksum-guided retries of every block that does not check out.
#pragma once

#include <cstdint>
#include <functional>

#include "conversion/driver.hpp"
#include "frontend/front_end.hpp"
#include "input/readers.hpp"

namespace kvr {

struct Context;

// What a caller may take from the conversion besides its report (kvrtool report).
struct RecoveryTaps {
    ConversionObserver* observer = nullptr;
    FrontEndSummary* front_end = nullptr;  // filled with the front end's choices, when it runs
    // Given one, the tape read goes there, mended, and no output is made (see ConversionHooks).
    FoundTape* found = nullptr;
    // Called at the end with the recording's frames (a WAV file's channels apart, else the
    // classic samples), while cx.recording still holds the levels the analysis read.
    std::function<void(const FrameSource& frames)> finished;
    // Sees the tape once it is mended, before it is written (the summary's verdicts).
    TapeMender* judge = nullptr;
    // Whether the report names the image it creates (not for a page, which writes none).
    bool says_creating = true;
};

class FileBytes;
class RecoveryInput;

// The highest sample rate the recovering conversion takes, as high as kvrtool play renders.
// A header that states more (a damaged rate field) describes no real recording.
inline constexpr std::int32_t kMaxRecoveryRate = 10000000;

// The load step for the recovering conversion: the classic checks and lines, gathering in
// the same reading of the file what the front end reads (see RecoveryInput); `fetcher`
// reads long runs of the file's sound data, when given. A rate above kMaxRecoveryRate is
// refused after the lines that show it, and so is a file no reader knows, named for what it
// is (a tape image, a text file); a file cut short gets a warning.
bool load_for_recovery(Context& cx, Bytes file, RecoveryInput& input, const PcmFetcher* fetcher = nullptr,
                       std::int64_t max_samples = kMaxSamples);

// Converts the recording that the load step gathered into `input` from `file` (its bytes as
// read), printing kelvarin's report. With `terminal`, a recording of over a minute shows its
// progress on standard error, cleared before any other text. The reader, when given, reads the
// file's sound data and tells whether the file was cut short meanwhile.
ConversionResult run_recovering_conversion(Context& cx, Bytes file, const RecoveryInput& input, bool terminal,
                                           const FileBytes* reader = nullptr, const RecoveryTaps& taps = {});

}  // namespace kvr
