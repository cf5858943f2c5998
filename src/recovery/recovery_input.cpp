#include "recovery/recovery_input.hpp"

#include <cstring>

#include "formats/csw_format.hpp"

namespace kvr {

namespace {

bool is_pulse_file(Bytes file) {
    return file.size() >= csw::kSignatureSize && std::memcmp(file.data(), csw::kSignature, csw::kSignatureSize) == 0;
}

}  // namespace

RecoveryInput::RecoveryInput(Bytes file, Recording& levels, Pulses pulses)
    : pulses_(pulses == Pulses::levels && is_pulse_file(file)), levels_(levels) {}

bool RecoveryInput::expect(std::int64_t total) { return pulses_ ? levels_.expect(total) : collect_.expect(total); }

// Mixes the run held so far, before whatever comes after it.
bool RecoveryInput::mix_held() {
    mixing_ = true;
    if (!held_) return true;
    const Held h = *held_;
    held_.reset();
    return collect_.SampleSink::pcm(h.file, h.offset, h.frames, h.format, h.fetcher);
}

bool RecoveryInput::samples(const std::int8_t* p, std::size_t n) {
    count_ += n;
    if (pulses_) return levels_.samples(p, n);
    return mix_held() && collect_.samples(p, n);
}

bool RecoveryInput::run(bool low, std::uint64_t n) {
    count_ += n;
    if (pulses_) return levels_.run(low, n);
    return mix_held() && collect_.run(low, n);
}

bool RecoveryInput::pcm(Bytes file, std::uint64_t offset, std::size_t frames, const PcmFormat& format,
                        const PcmFetcher* fetcher) {
    count_ += frames;
    if (pulses_) return levels_.pcm(file, offset, frames, format, fetcher);
    if (!mixing_ && !held_) {
        held_ = Held{file, offset, frames, format, fetcher};
        return true;
    }
    return mix_held() && collect_.SampleSink::pcm(file, offset, frames, format, fetcher);
}

void RecoveryInput::clear() {
    levels_.clear();
    collect_.clear();
    held_.reset();
    frames_.reset();
    mixing_ = false;
    count_ = 0;
}

bool RecoveryInput::finish(const SampleInfo& info) {
    cut_short_ = info.stated_length > info.length;
    if (held_ && info.frames_apart) {
        frames_ = PcmRun{held_->offset, held_->frames, held_->format};
        held_.reset();
        return true;
    }
    return mix_held();
}

}  // namespace kvr
