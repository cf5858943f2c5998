#include "playback/render.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "formats/kvr_image.hpp"
#include "input/sample_encoder.hpp"

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

// What a worn cassette and a poor capture do to the signal, after the pulses are shaped.
class Damage {
public:
    Damage(const RenderOptions& o, std::uint32_t rate) : o_(o), rate_(rate), random_(o.seed ^ 0xD1B54A32D192ED03ULL) {
        if (o.highpass_hz > 0.0) highpass_ = std::exp(-2.0 * M_PI * o.highpass_hz / rate);
        active_ = o.hum > 0.0 || o.dropouts_per_minute > 0.0 || o.highpass_hz > 0.0 || o.clip > 0.0;
        warped_ = o.wow_pct > 0.0 || o.flutter_pct > 0.0;
    }

    bool active() const { return active_; }

    // The sample position of a moment of the tape, in T-states. Wow and flutter vary the
    // speed by a sine each; the position is the speed's integral, so no error accumulates.
    double sample_time(double tstates) const {
        if (!warped_) return tstates * rate_ / kClock;
        const double seconds = tstates / kClock;
        return (seconds + drift(o_.wow_pct, o_.wow_hz, seconds) + drift(o_.flutter_pct, o_.flutter_hz, seconds)) * rate_;
    }

    double apply(double v, std::int64_t sample) {
        if (o_.highpass_hz > 0.0) {
            // One pole, as the coupling capacitor of a tape deck: the level droops back to 0.
            const double out = highpass_ * (hp_out_ + v - hp_in_);
            hp_in_ = v;
            v = hp_out_ = out;
        }
        if (o_.dropouts_per_minute > 0.0) v *= dropout_gain(sample);
        if (o_.hum > 0.0) {
            const double t = static_cast<double>(sample) / rate_;
            v += o_.hum * (0.8 * std::sin(2.0 * M_PI * o_.hum_hz * t) + 0.4 * std::sin(2.0 * M_PI * 3.0 * o_.hum_hz * t));
        }
        if (o_.clip > 0.0) v = std::clamp(v, -o_.clip, o_.clip);
        return v;
    }

private:
    static double drift(double pct, double hz, double seconds) {
        if (pct <= 0.0 || hz <= 0.0) return 0.0;
        return pct / 100.0 * (1.0 - std::cos(2.0 * M_PI * hz * seconds)) / (2.0 * M_PI * hz);
    }

    // Dropouts start at random, on average the given number a minute; each fades down and
    // up again over a fifth of its length.
    double dropout_gain(std::int64_t sample) {
        if (sample >= dropout_end_) {
            const double chance = o_.dropouts_per_minute / (60.0 * rate_);
            if ((random_.uniform() + 1.0) * 0.5 >= chance) return 1.0;
            dropout_start_ = sample;
            dropout_end_ = sample + static_cast<std::int64_t>(o_.dropout_ms / 1000.0 * rate_) + 1;
        }
        const double length = static_cast<double>(dropout_end_ - dropout_start_);
        const double at = static_cast<double>(sample - dropout_start_) / length;
        const double edge = std::min({1.0, at / 0.2, (1.0 - at) / 0.2});
        return 1.0 - (1.0 - o_.dropout_depth) * std::max(0.0, edge);
    }

    const RenderOptions& o_;
    double rate_;
    Random random_;
    bool active_ = false, warped_ = false;
    double highpass_ = 0.0, hp_in_ = 0.0, hp_out_ = 0.0;
    std::int64_t dropout_start_ = 0, dropout_end_ = 0;
};

}  // namespace

// Turns pulses and silences into samples. Time is kept in T-states from the start, and
// each sample boundary is computed from it, so rounding never accumulates.
class TapeRenderer::Player {
public:
    Player(const RenderOptions& options, std::uint32_t rate, SampleEncoder& encoder)
        : o_(options), rate_(rate), encoder_(encoder), random_(options.seed), damage_(options, rate) {
        if (o_.lowpass_hz > 0.0) alpha_ = 1.0 - std::exp(-2.0 * M_PI * o_.lowpass_hz / rate_);
        buffer_.reserve(kChunk);
        encoder_.set_channel_gains(o_.gain_left, o_.gain_right);
    }

    void pulse(double tstates) {
        if (pending_ > 0.0) play_silence(false);
        if (o_.jitter_pct > 0.0) tstates *= 1.0 + random_.uniform() * o_.jitter_pct / 100.0;
        hold(tstates, high_ ? o_.amplitude : -o_.amplitude);
        high_ = !high_;
    }

    // A silence begins with the edge that ends the last pulse, then rests at zero; the
    // next pulse starts low. It is played when the next pulse (or the end) comes, which
    // may ask for a whole edge in front of it.
    void silence(double ms) {
        if (ms <= 0.0) return;
        if (pending_ > 0.0) play_silence(false);
        pending_ = ms;
    }

    // The next pulses are a sequence of pulses each of which counts: when a silence comes
    // before them, its last millisecond is high, so that the first pulse begins with a whole
    // edge. A level coming out of zero is read a few samples early, which would lengthen
    // that pulse at every playing and reading again.
    void whole_edge_next() {
        if (pending_ > 0.0) play_silence(true);
    }

    void finish() {
        if (pending_ > 0.0) play_silence(false);
        flush();
        encoder_.finish();
    }

private:
    static constexpr std::size_t kChunk = 1 << 16;

    void play_silence(bool whole_edge) {
        const double total = pending_ * (kClock / 1000.0);
        pending_ = 0.0;
        const double edge = std::min(total, kClock / 1000.0);
        hold(edge, high_ ? o_.amplitude : -o_.amplitude);
        const double lead = whole_edge && total >= 3.0 * edge ? edge : 0.0;
        hold(total - edge - lead, 0.0);
        hold(lead, o_.amplitude);
        high_ = false;
    }

    void hold(double tstates, double value) {
        time_ += tstates;
        const auto end = static_cast<std::int64_t>(std::floor(damage_.sample_time(time_)));
        for (; emitted_ < end; ++emitted_) {
            double v = value + o_.dc_offset;
            if (o_.noise > 0.0) v += random_.uniform() * o_.noise;
            if (alpha_ > 0.0) v = filtered_ += alpha_ * (v - filtered_);
            if (damage_.active()) v = damage_.apply(v, emitted_);
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
    double pending_ = 0.0;  // the milliseconds of silence not yet played
    std::int64_t emitted_ = 0;
    bool high_ = false;
    double alpha_ = 0.0;
    double filtered_ = 0.0;
    Damage damage_;
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
        p.whole_edge_next();
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

namespace {


bool within(double value, double low, double high) { return std::isfinite(value) && value >= low && value <= high; }

}  // namespace

bool check_render_options(const RenderOptions& o, std::string& error) {
    if (!within(o.rate, kMinRate, kMaxRate) || !within(o.amplitude, -kMaxLevel, kMaxLevel) ||
        !within(o.dc_offset, -kMaxLevel, kMaxLevel) || !within(o.noise, 0, kMaxNoise) ||
        !within(o.jitter_pct, 0, kMaxJitterPct) || !within(o.lowpass_hz, 0, kMaxLowpassHz) ||
        !within(o.wow_pct, 0, kMaxDriftPct) || !within(o.wow_hz, 0, kMaxDriftHz) ||
        !within(o.flutter_pct, 0, kMaxDriftPct) || !within(o.flutter_hz, 0, kMaxDriftHz) ||
        !within(o.hum, 0, kMaxLevel) || !within(o.hum_hz, 0, kMaxHumHz) ||
        !within(o.dropouts_per_minute, 0, kMaxDropoutsPerMinute) || !within(o.dropout_ms, 0, kMaxDropoutMs) ||
        !within(o.dropout_depth, 0, 1) || !within(o.highpass_hz, 0, kMaxLowpassHz) || !within(o.clip, 0, kMaxLevel) ||
        !within(o.gain_left, -kMaxGain, kMaxGain) || !within(o.gain_right, -kMaxGain, kMaxGain)) {
        error = "a rendering option is out of range";
        return false;
    }
    const bool two_channels = o.format == SampleFormat::wav8s || o.format == SampleFormat::wav16s;
    if (!two_channels && (o.gain_left != 1.0 || o.gain_right != 1.0)) {
        error = "channel gains need a two-channel format (wav8s or wav16s)";
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
