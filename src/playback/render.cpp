#include "playback/render.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "formats/kvr_image.hpp"
#include "playback/sample_encoders.hpp"

namespace kvr {

namespace {

constexpr double kClock = image::kClockHz;

// A small deterministic generator, so that every rendering can be repeated exactly.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * (2.0 / 9007199254740992.0) - 1.0; }  // [-1, 1)

private:
    std::uint64_t state_;
};

}  // namespace

// Turns pulses and silences into samples. Time is kept in T-states from the start, and
// each sample boundary is computed from it, so rounding never accumulates.
class TapeRenderer::Player {
public:
    Player(const RenderOptions& options, std::uint32_t rate, SampleEncoder& encoder)
        : o_(options), rate_(rate), encoder_(encoder), random_(options.seed) {
        if (o_.lowpass_hz > 0.0) alpha_ = 1.0 - std::exp(-2.0 * M_PI * o_.lowpass_hz / rate_);
        buffer_.reserve(kChunk);
    }

    void pulse(double tstates) {
        if (o_.jitter_pct > 0.0) tstates *= 1.0 + random_.uniform() * o_.jitter_pct / 100.0;
        hold(tstates, high_ ? o_.amplitude : -o_.amplitude);
        high_ = !high_;
    }

    // A silence begins with the edge that ends the last pulse, then rests at zero; the
    // next pulse starts low.
    void silence(double ms) {
        if (ms <= 0.0) return;
        const double total = ms * (kClock / 1000.0);
        const double edge = std::min(total, kClock / 1000.0);
        hold(edge, high_ ? o_.amplitude : -o_.amplitude);
        hold(total - edge, 0.0);
        high_ = false;
    }

    void finish() {
        flush();
        encoder_.finish();
    }

private:
    static constexpr std::size_t kChunk = 1 << 16;

    void hold(double tstates, double value) {
        time_ += tstates;
        const auto end = static_cast<std::int64_t>(std::floor(time_ * rate_ / kClock));
        for (; emitted_ < end; ++emitted_) {
            double v = value + o_.dc_offset;
            if (o_.noise > 0.0) v += random_.uniform() * o_.noise;
            if (alpha_ > 0.0) v = filtered_ += alpha_ * (v - filtered_);
            buffer_.push_back(static_cast<float>(v));
            if (buffer_.size() == kChunk) flush();
        }
    }

    void flush() {
        encoder_.samples(buffer_.data(), buffer_.size());
        buffer_.clear();
    }

    const RenderOptions& o_;
    std::uint32_t rate_;
    SampleEncoder& encoder_;
    Random random_;
    double time_ = 0.0;
    std::int64_t emitted_ = 0;
    bool high_ = false;
    double alpha_ = 0.0;
    double filtered_ = 0.0;
    std::vector<float> buffer_;
};

namespace {

using Player = TapeRenderer::Player;

void play_bits(Player& p, const TapeBlock& b) {
    if (b.data.empty()) return;
    const int last = (b.used_bits >= 1 && b.used_bits <= 8) ? b.used_bits : 8;
    for (std::size_t i = 0; i < b.data.size(); ++i) {
        const int bits = i + 1 == b.data.size() ? last : 8;
        for (int k = 0; k < bits; ++k) {
            const double pulse = ((b.data[i] >> (7 - k)) & 1) ? b.bit1 : b.bit0;
            p.pulse(pulse);
            p.pulse(pulse);
        }
    }
}

void play_block(Player& p, const TapeBlock& b) {
    switch (b.id) {
    case image::kStandardData:
    case image::kTurboData:
        for (std::int32_t i = 0; i < b.pilot_count; ++i) p.pulse(b.pilot_pulse);
        if (b.sync1 > 0) p.pulse(b.sync1);
        if (b.sync2 > 0) p.pulse(b.sync2);
        play_bits(p, b);
        p.silence(b.pause_ms);
        break;
    case image::kPureTone:
        for (std::int32_t i = 0; i < b.tone_count; ++i) p.pulse(b.tone_pulse);
        break;
    case image::kPulseSequence:
        for (std::uint16_t pulse : b.pulses) p.pulse(pulse);
        break;
    case image::kPureData:
        play_bits(p, b);
        p.silence(b.pause_ms);
        break;
    case image::kPause: p.silence(b.pause_ms); break;
    default: break;  // group blocks play nothing
    }
}

}  // namespace

void MemorySink::write(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    bytes.insert(bytes.end(), b, b + n);
}

void MemorySink::patch(std::size_t offset, const void* p, std::size_t n) {
    std::memcpy(bytes.data() + offset, p, n);
}

void FileSink::write(const void* p, std::size_t n) {
    if (n == 0) return;  // an empty chunk may come without any storage behind it
    if (std::fwrite(p, 1, n, file_) != n) ok_ = false;
    size_ += n;
}

void FileSink::patch(std::size_t offset, const void* p, std::size_t n) {
    if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0 || std::fwrite(p, 1, n, file_) != n) ok_ = false;
    if (std::fseek(file_, 0, SEEK_END) != 0) ok_ = false;
}

namespace {

// Every output format by name; add new formats here.
const struct {
    const char* name;
    SampleFormat format;
} kSampleFormats[] = {{"wav8", SampleFormat::wav8},   {"wav16", SampleFormat::wav16},   {"wav8s", SampleFormat::wav8s},
                      {"wav16s", SampleFormat::wav16s}, {"wav24", SampleFormat::wav24}, {"wavf32", SampleFormat::wavf32},
                      {"csw", SampleFormat::csw},     {"voc8", SampleFormat::voc8},     {"voc16", SampleFormat::voc16},
                      {"csw2", SampleFormat::csw2},   {"flac", SampleFormat::flac}};

bool within(double value, double low, double high) { return std::isfinite(value) && value >= low && value <= high; }

}  // namespace

bool parse_sample_format(const std::string& name, SampleFormat& format) {
    for (const auto& n : kSampleFormats) {
        if (name == n.name) {
            format = n.format;
            return true;
        }
    }
    return false;
}

std::string sample_format_names() {
    std::string names;
    for (const auto& n : kSampleFormats) {
        if (!names.empty()) names += ' ';
        names += n.name;
    }
    return names;
}

bool check_render_options(const RenderOptions& o, std::string& error) {
    if (!within(o.rate, kMinRate, kMaxRate) || !within(o.amplitude, -kMaxLevel, kMaxLevel) ||
        !within(o.dc_offset, -kMaxLevel, kMaxLevel) || !within(o.noise, 0, kMaxNoise) ||
        !within(o.jitter_pct, 0, kMaxJitterPct) || !within(o.lowpass_hz, 0, kMaxLowpassHz)) {
        error = "a rendering option is out of range";
        return false;
    }
    // The encoder itself knows what its format can state: a trial one, writing to memory.
    MemorySink trial;
    return make_encoder(o.format, effective_rate(o), trial, error) != nullptr;
}

std::uint32_t effective_rate(const RenderOptions& o) {
    if (o.format != SampleFormat::voc8 || o.rate == 0) return o.rate;
    return 1000000 / (256 - voc_time_constant(o.rate));
}

TapeRenderer::TapeRenderer() = default;
TapeRenderer::~TapeRenderer() = default;

bool TapeRenderer::start(const RenderOptions& options, ByteSink& sink, std::string& error) {
    if (!check_render_options(options, error)) return false;
    options_ = options;
    sink_ = &sink;
    const std::uint32_t rate = effective_rate(options_);
    encoder_ = make_encoder(options_.format, rate, sink, error);
    if (!encoder_) return false;
    player_ = std::make_unique<Player>(options_, rate, *encoder_);
    return true;
}

void TapeRenderer::play(const TapeBlock& block) {
    if (player_) play_block(*player_, block);
}

bool TapeRenderer::finish(std::string& error) {
    if (!player_) return false;
    player_->finish();
    if (!encoder_->error().empty()) {
        error = encoder_->error();
        return false;
    }
    return sink_->ok();
}

bool render_tape_image(const TapeImage& image, const RenderOptions& options, ByteSink& sink, std::string& error) {
    TapeRenderer renderer;
    if (!renderer.start(options, sink, error)) return false;
    for (const TapeBlock& b : image.blocks) renderer.play(b);
    return renderer.finish(error);
}

bool render_tape_image(const TapeImage& image, const RenderOptions& options, std::uint32_t rate,
                       SampleEncoder& encoder, std::string& error) {
    Player player(options, rate, encoder);
    for (const TapeBlock& b : image.blocks) play_block(player, b);
    player.finish();
    error = encoder.error();
    return error.empty();
}

}  // namespace kvr
