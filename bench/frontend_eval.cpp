// Development aid: conditions a WAV recording with the front end, converts it to TAP in
// memory and counts the expected TAP records found. Usage: frontend_eval REC.wav EXPECTED.tap [h floor base smooth]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <chrono>
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
    if (argc > 7) fs.squelch = atof(argv[7]);
    SampleInfo info;
    PcmRun run;
    if (parse_wav(wav, info, run) != LOAD_OK) return 1;
    PcmFrameSource source(wav, run);
    const std::size_t channels = source.channels();
    const int rate = info.rate;
    FrontEndSummary summary;
    auto cx = std::make_unique<Context>();
    cx->settings.tap_output = true;
    cx->settings.output_name = "x.tap";
    cx->image.open_memory();
    const auto t0 = std::chrono::steady_clock::now();
    cx->samples.sample_data = condition_signal(source, rate, fs, &summary);
    const auto t1 = std::chrono::steady_clock::now();
    if (getenv("TIME")) std::fprintf(stderr, "front end %.3f s\n", std::chrono::duration<double>(t1 - t0).count());
    cx->samples.sample_rate = rate;
    run_conversion(*cx);
    if (getenv("TIME")) std::fprintf(stderr, "conversion %.3f s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count());
    auto got = records(cx->image.memory());
    int ok = 0;
    for (auto& e : expected)
        for (auto& g : got)
            if (g == e) { ++ok; break; }
    std::printf("%d/%zu  (%zu records)", ok, expected.size(), got.size());
    for (std::size_t c = 0; c < channels && channels > 1; ++c) std::printf(" ch%zu used %.2f inv %.2f", c, summary.share_used[c], summary.share_inverted[c]);
    std::printf("\n");
    if (getenv("SHOW")) std::fputs(cx->console.text().c_str(), stdout);
}
