// kvrtool convert's recovering conversion of arbitrary bytes: the signal front end and the
// retries on whatever the readers make of them. The inputs are those of fuzz_conversion.
#include <memory>

#include "fuzz_recording.hpp"
#include "recovery/recover.hpp"
#include "recovery/recovery_input.hpp"

// Each input is conditioned and may be read again many times: shorter recordings than the
// classic conversion's keep a run quick.
constexpr std::int64_t kMostSamples = std::int64_t{1} << 20;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    auto cx = std::make_unique<kvr::Context>();
    set_fuzz_switches(*cx, data);
    const kvr::Bytes file(data + 2, size - 2);
    kvr::RecoveryInput input(file, cx->recording);
    if (!kvr::load_for_recovery(*cx, file, input, nullptr, kMostSamples)) return 0;
    use_raw_bytes_if_unread(*cx, file);
    kvr::run_recovering_conversion(*cx, file, input, false);
    return 0;
}
