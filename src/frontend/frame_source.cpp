#include "frontend/frame_source.hpp"

#include <algorithm>
#include <cstring>

#include "kernels/kernels.hpp"

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
    case 16: return static_cast<float>(pcm16_sample(p)) / 32768.0f;
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

void size_for(FrameChannels& out, std::size_t channels, std::size_t count) {
    out.resize(channels);
    for (auto& c : out) c.resize(count);
}

// Frames of the PCM bytes at p into out[c][at, at + count).
void convert_frames(const std::uint8_t* p, std::size_t count, const PcmFormat& f, std::size_t at,
                    FrameChannels& out) {
    const std::size_t step = f.bits / 8, frame = static_cast<std::size_t>(f.frame_bytes());
    if (!f.is_float && f.bits == 16) {
        // The common cases get loops of their own.
        if (f.channels == 2) return kernels::convert_stereo16(p, count, out[0].data() + at, out[1].data() + at);
        for (std::size_t c = 0; c < f.channels; ++c) {
            float* dest = out[c].data() + at;
            const std::uint8_t* q = p + 2 * c;
            for (std::size_t i = 0; i < count; ++i, q += frame)
                dest[i] = static_cast<float>(pcm16_sample(q)) * (1.0f / 32768.0f);
        }
        return;
    }
    for (std::size_t i = 0; i < count; ++i, p += frame)
        for (std::size_t c = 0; c < f.channels; ++c) out[c][at + i] = pcm_value(p + c * step, f);
}

}  // namespace

const std::uint8_t* PcmFrames::bytes(std::uint64_t from, std::size_t count, std::vector<std::uint8_t>& room) const {
    const std::size_t frame = static_cast<std::size_t>(run.format.frame_bytes()), size = count * frame;
    const std::uint64_t at = run.offset + from * frame;
    if (fetcher == nullptr) return file.data() + at;
    if (room.size() < size) room.resize(size);  // never shrunk, so never cleared again
    const std::size_t got = fetcher->read(at, size, room.data());
    std::fill(room.data() + got, room.data() + size, std::uint8_t{0});  // silence
    return room.data();
}

PcmFrames PcmFrames::window(std::uint64_t first, std::uint64_t count) const {
    PcmFrames w = *this;
    w.run.offset += first * run.format.frame_bytes();
    w.run.frames = count;
    return w;
}

void PcmFrameSource::read(std::uint64_t from, std::size_t count, FrameChannels& out) const {
    const PcmRun& run = pcm_.run;
    const PcmFormat& f = run.format;
    const std::size_t frame = static_cast<std::size_t>(f.frame_bytes());
    size_for(out, f.channels, count);
    if (pcm_.fetcher == nullptr) {
        convert_frames(pcm_.file.data() + run.offset + from * frame, count, f, 0, out);
        return;
    }
    // Through the fetcher a stretch at a time, into room small enough to stay in the cache
    // while its frames are converted.
    constexpr std::size_t kRoom = 64 * 1024;
    std::uint8_t small_room[kRoom];
    std::vector<std::uint8_t> large_room;  // for frames of many channels, larger than the room
    std::uint8_t* room = small_room;
    if (frame > kRoom) {
        large_room.resize(frame);
        room = large_room.data();
    }
    const std::size_t per_stretch = std::max<std::size_t>(1, kRoom / frame);
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min(per_stretch, count - done), size = n * frame;
        const std::size_t got = pcm_.fetcher->read(run.offset + (from + done) * frame, size, room);
        std::fill(room + got, room + size, std::uint8_t{0});
        convert_frames(room, n, f, done, out);
        done += n;
    }
}

void SampleFrameSource::read(std::uint64_t from, std::size_t count, FrameChannels& out) const {
    size_for(out, 1, count);
    for (std::size_t i = 0; i < count; ++i) out[0][i] = static_cast<float>(samples_[from + i]) / 128.0f;
}

void RecordingFrameSource::read(std::uint64_t from, std::size_t count, FrameChannels& out) const {
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

void MemoryFrameSource::read(std::uint64_t from, std::size_t count, FrameChannels& out) const {
    size_for(out, channels_.size(), count);
    for (std::size_t c = 0; c < channels_.size(); ++c)
        std::memcpy(out[c].data(), channels_[c].data() + from, count * sizeof(float));
}

}  // namespace kvr
