#include "frontend/frame_source.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

namespace kvr {

namespace {

float pcm_value(const std::uint8_t* p, const PcmFormat& f) {
    if (f.is_float) {
        float v;
        std::memcpy(&v, p, 4);
        return v == v ? v : 0.0f;  // a NaN is no level
    }
    switch (f.bits) {
    case 8: return static_cast<float>(p[0] - 128) / 128.0f;
    case 16: return static_cast<float>(static_cast<std::int16_t>(p[0] | (p[1] << 8))) / 32768.0f;
    case 24: {
        std::int32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
        if (v >= 0x800000) v -= 0x1000000;
        return static_cast<float>(v) / 8388608.0f;
    }
    default: {
        const std::uint32_t u = p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
        return static_cast<float>(static_cast<std::int32_t>(u) / 2147483648.0);
    }
    }
}

void size_for(std::vector<std::vector<float>>& out, std::size_t channels, std::size_t count) {
    out.resize(channels);
    for (auto& c : out) c.resize(count);
}

}  // namespace

void PcmFrameSource::read(std::uint64_t from, std::size_t count, std::vector<std::vector<float>>& out) const {
    const PcmFormat& f = run_.format;
    const std::size_t step = f.bits / 8, frame = static_cast<std::size_t>(f.frame_bytes());
    size_for(out, f.channels, count);
    const std::uint8_t* p = file_.data() + run_.offset + from * frame;
    std::unique_ptr<std::uint8_t[]> copy;  // not cleared: the read fills it
    if (fetcher_ != nullptr) {
        const std::size_t size = count * frame;
        copy.reset(new std::uint8_t[size]);
        const std::size_t got = fetcher_->read(run_.offset + from * frame, size, copy.get());
        std::fill(copy.get() + got, copy.get() + size, std::uint8_t{0});
        p = copy.get();
    }
    if (!f.is_float && f.bits == 16) {
        // The common case gets a loop of its own that the compiler can vectorise.
        for (std::size_t c = 0; c < f.channels; ++c) {
            float* dest = out[c].data();
            const std::uint8_t* q = p + 2 * c;
            for (std::size_t i = 0; i < count; ++i, q += frame)
                dest[i] = static_cast<float>(static_cast<std::int16_t>(q[0] | (q[1] << 8))) * (1.0f / 32768.0f);
        }
        return;
    }
    for (std::size_t i = 0; i < count; ++i, p += frame)
        for (std::size_t c = 0; c < f.channels; ++c) out[c][i] = pcm_value(p + c * step, f);
}

void SampleFrameSource::read(std::uint64_t from, std::size_t count, std::vector<std::vector<float>>& out) const {
    size_for(out, 1, count);
    for (std::size_t i = 0; i < count; ++i) out[0][i] = static_cast<float>(samples_[from + i]) / 128.0f;
}

void RecordingFrameSource::read(std::uint64_t from, std::size_t count, std::vector<std::vector<float>>& out) const {
    size_for(out, 1, count);
    const auto& edges = recording_.edges;
    const auto first = static_cast<std::int32_t>(from);
    auto e = std::upper_bound(edges.begin(), edges.end(), first);
    bool low = recording_.low_at(first);
    for (std::size_t i = 0; i < count; ++i) {
        const auto at = static_cast<std::int64_t>(from + i);
        while (e != edges.end() && *e <= at) {
            low = !low;
            ++e;
        }
        out[0][i] = low ? -1.0f : 127.0f / 128.0f;  // as the classic levels of pulses read
    }
}

void MemoryFrameSource::read(std::uint64_t from, std::size_t count, std::vector<std::vector<float>>& out) const {
    size_for(out, channels_.size(), count);
    for (std::size_t c = 0; c < channels_.size(); ++c)
        std::memcpy(out[c].data(), channels_[c].data() + from, count * sizeof(float));
}

}  // namespace kvr
