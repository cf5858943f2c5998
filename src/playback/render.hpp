// Playing an image back as a recording: pulses into samples, samples into WAV, CSW, VOC or FLAC.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "formats/tape_reader.hpp"
#include "input/sample_encoder.hpp"

namespace kvr {

struct RenderOptions {
    std::uint32_t rate = 44100;
    SampleFormat format = SampleFormat::wav16;
    double amplitude = 0.5;   // of the square wave, full scale 1
    double dc_offset = 0.0;   // added to every sample
    double noise = 0.0;       // peak of the additive noise, full scale 1
    double jitter_pct = 0.0;  // each pulse scaled by a random factor within this bound
    double lowpass_hz = 0.0;  // corner of a one-pole filter that rounds the edges; 0: none
    std::uint64_t seed = 1;

    // The damage of real cassettes and captures, for test material; every one off at 0.
    double wow_pct = 0.0, wow_hz = 0.8;           // slow speed drift, peak in percent
    double flutter_pct = 0.0, flutter_hz = 7.0;   // fast speed drift
    double hum = 0.0, hum_hz = 50.0;              // peak of mains hum (with its third harmonic)
    double dropouts_per_minute = 0.0;             // stretches where the level falls away
    double dropout_ms = 30.0, dropout_depth = 0.1;  // their length and the level left in them
    double highpass_hz = 0.0;                     // corner of a one-pole high-pass (AC coupling)
    double clip = 0.0;                            // samples limited to this level; 0: none
    double gain_left = 1.0, gain_right = 1.0;     // of the channels of a two-channel format
};

// The ranges that rendering accepts; kvrtool checks its options against the same numbers.
inline constexpr double kMinRate = 1;
inline constexpr double kMaxRate = 10000000;
inline constexpr double kMaxLevel = 1;       // amplitude and DC offset, of either sign
inline constexpr double kMaxNoise = 1;
inline constexpr double kMaxJitterPct = 50;  // every pulse stays at least half its length
inline constexpr double kMaxLowpassHz = 10000000;
inline constexpr double kMaxDriftPct = 10;    // wow and flutter: the tape never stops
inline constexpr double kMaxDriftHz = 1000;
inline constexpr double kMaxHumHz = 1000;
inline constexpr double kMaxDropoutsPerMinute = 600;
inline constexpr double kMaxDropoutMs = 10000;
inline constexpr double kMaxGain = 10;        // of either sign: below 0 inverts a channel

// False with a message when the options are out of range, or the format cannot hold them.
bool check_render_options(const RenderOptions& options, std::string& error);

// The rate the samples are really rendered at: an 8-bit VOC file can state only rates of
// 1,000,000 / (256 - n).
std::uint32_t effective_rate(const RenderOptions& options);

// Renders an image block by block, so that it need not be held whole.
class TapeRenderer {
public:
    TapeRenderer();
    ~TapeRenderer();
    TapeRenderer(const TapeRenderer&) = delete;
    TapeRenderer& operator=(const TapeRenderer&) = delete;

    // False with a message when the options cannot be rendered (check_render_options).
    bool start(const RenderOptions& options, ByteSink& sink, std::string& error);
    void play(const TapeBlock& block);
    // False with a message when the format cannot hold the result or a write failed.
    bool finish(std::string& error);

    class Player;  // pulses into samples, defined with the renderer

private:
    RenderOptions options_;
    ByteSink* sink_ = nullptr;
    std::unique_ptr<SampleEncoder> encoder_;
    std::unique_ptr<Player> player_;
};

// Renders the whole image; false with a message when the format cannot hold the result.
bool render_tape_image(const TapeImage& image, const RenderOptions& options, ByteSink& sink, std::string& error);

// Renders the whole image at `rate` through an encoder of the caller's choosing (options.format
// and the sink are the encoder's business); false with its message when it failed.
bool render_tape_image(const TapeImage& image, const RenderOptions& options, std::uint32_t rate,
                       SampleEncoder& encoder, std::string& error);

}  // namespace kvr
