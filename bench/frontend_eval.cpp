// Development aid: conditions a WAV recording with the front end, converts it to TAP in
// memory and counts the expected TAP records found. Usage: frontend_eval REC.wav EXPECTED.tap [h floor base smooth]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "context.hpp"
#include "frontend/front_end.hpp"

using namespace kvr;

static std::vector<std::uint8_t> slurp(const char* p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

static std::vector<std::vector<std::uint8_t>> records(const std::vector<std::uint8_t>& d) {
    std::vector<std::vector<std::uint8_t>> r;
    for (std::size_t i = 0; i + 2 <= d.size();) {
        std::size_t n = d[i] | (d[i + 1] << 8);
        if (i + 2 + n > d.size()) break;
        r.emplace_back(d.begin() + i + 2, d.begin() + i + 2 + n);
        i += 2 + n;
    }
    return r;
}

int main(int argc, char** argv) {
    auto wav = slurp(argv[1]);
    auto expected = records(slurp(argv[2]));
    FrontEndSettings fs;
    if (argc > 3) fs.hysteresis = atof(argv[3]);
    if (argc > 4) fs.floor = atof(argv[4]);
    if (argc > 5) fs.baseline_ms = atof(argv[5]);
    if (argc > 6) fs.smoothing = atoi(argv[6]);
    if (argc > 7) fs.midrange = atoi(argv[7]) != 0;
    if (argc > 8) fs.floor_reach_s = atof(argv[8]);
    // Plain 44-byte-header files only: fmt at 12, data at 36.
    const int channels = wav[22], bits = wav[34];
    const int rate = wav[24] | (wav[25] << 8) | (wav[26] << 16);
    std::size_t pos = 12;
    while (std::memcmp(&wav[pos], "data", 4) != 0) pos += 8 + (wav[pos + 4] | (wav[pos + 5] << 8) | (wav[pos + 6] << 16));
    const std::size_t frames = (wav.size() - pos - 8) / (channels * bits / 8);
    std::vector<std::vector<float>> ch(channels, std::vector<float>(frames));
    const std::uint8_t* p = &wav[pos + 8];
    for (std::size_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) {
            if (bits == 8) ch[c][i] = (*p - 128) / 128.0f, p += 1;
            else ch[c][i] = static_cast<std::int16_t>(p[0] | (p[1] << 8)) / 32768.0f, p += 2;
        }
    std::vector<std::span<const float>> spans(ch.begin(), ch.end());
    FrontEndSummary summary;
    auto cx = std::make_unique<Context>();
    cx->settings.tap_output = true;
    cx->settings.output_name = "x.tap";
    cx->image.open_memory();
    cx->samples.sample_data = condition_signal(spans, rate, fs, &summary);
    cx->samples.sample_rate = rate;
    run_conversion(*cx);
    auto got = records(cx->image.memory());
    int ok = 0;
    for (auto& e : expected)
        for (auto& g : got)
            if (g == e) { ++ok; break; }
    std::printf("%d/%zu  (%zu records)", ok, expected.size(), got.size());
    for (int c = 0; c < channels && channels > 1; ++c) std::printf(" ch%d used %.2f inv %.2f", c, summary.share_used[c], summary.share_inverted[c]);
    std::printf("\n");
    if (getenv("SHOW")) std::fputs(cx->console.text().c_str(), stdout);
}
