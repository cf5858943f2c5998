// kvrtool convert's recovering conversion of arbitrary bytes: the signal front end and the
// retries on whatever the readers make of them. The inputs are those of fuzz_conversion.
#include <memory>

#include "fuzz_recording.hpp"
#include "recovery/recover.hpp"

// Each input is conditioned and may be read again many times: shorter recordings than the
// classic conversion's keep a run quick.
constexpr std::int64_t kMostSamples = std::int64_t{1} << 20;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto cx = std::make_unique<kvr::Context>();
    if (!load_fuzz_recording(*cx, data, size, kMostSamples)) return 0;
    kvr::run_recovering_conversion(*cx, kvr::Bytes(data + 2, size - 2), false);
    return 0;
}
