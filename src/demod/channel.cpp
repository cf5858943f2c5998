#include "demod/channel.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "demod/signal.hpp"

namespace kvr::demod {

namespace {

constexpr double kPi = std::numbers::pi;

// The odd harmonics below this part of the sampling rate are measured.
constexpr double kHighest = 0.45;

double unwrap_near(double phase, double reference) {
    while (phase - reference > kPi) phase -= 2.0 * kPi;
    while (phase - reference < -kPi) phase += 2.0 * kPi;
    return phase;
}

}  // namespace

std::complex<double> Channel::at(double f) const {
    if (response.empty() || !(harmonic_hz > 0.0)) return {1.0, 0.0};
    const double k = (f / harmonic_hz - 1.0) / 2.0;  // the index between measured harmonics
    if (k <= 0.0 || response.size() == 1) return response.front();
    const auto i = static_cast<std::size_t>(std::min(k, static_cast<double>(response.size() - 1)));
    const std::size_t j = std::min(i + 1, response.size() - 1);
    const std::size_t a = j == i ? i - 1 : i;  // beyond the last: along the last two
    const double w = k - static_cast<double>(a);
    const std::complex<double> ha = response[a], hb = response[a + 1];
    const double ma = std::log(std::max(std::abs(ha), 1e-9)), mb = std::log(std::max(std::abs(hb), 1e-9));
    const double pa = std::arg(ha), pb = unwrap_near(std::arg(hb), pa);
    const double m = ma + w * (mb - ma), p = pa + w * (pb - pa);
    return std::polar(std::exp(std::min(m, std::max(ma, mb))), p);
}

Channel measure_channel(std::span<const float> x, const Tone& tone, double from, double to) {
    Channel c;
    const double p = tone.period;
    if (!(p > 0.0)) return c;
    // Whole periods of the tone, from one of its edges.
    const double start = tone.edge(static_cast<std::size_t>(std::max(0.0, std::ceil((from - tone.first_edge) / (2.0 * p)) * 2.0)));
    const double periods = std::floor((std::min(to, static_cast<double>(x.size())) - start) / (2.0 * p));
    if (periods < 4.0) return c;
    const auto first = static_cast<std::size_t>(std::ceil(start));
    const auto last = static_cast<std::size_t>(start + periods * 2.0 * p);
    const double n = static_cast<double>(last - first);
    const double w0 = kPi / p;  // the fundamental, radians per sample
    c.harmonic_hz = 1.0 / (2.0 * p);
    double mean = 0.0, power = 0.0;
    for (std::size_t t = first; t < last; ++t) mean += x[t];
    mean /= n;
    for (std::size_t t = first; t < last; ++t) power += (x[t] - mean) * (x[t] - mean);
    power /= n;
    double explained = 0.0;
    for (int k = 1; k * c.harmonic_hz < kHighest; k += 2) {
        std::complex<double> sum = 0.0;
        const std::complex<double> step = std::polar(1.0, -k * w0);
        std::complex<double> turn = std::polar(1.0, -k * w0 * (static_cast<double>(first) - tone.first_edge));
        for (std::size_t t = first; t < last; ++t, turn *= step) sum += static_cast<double>(x[t]) * turn;
        const std::complex<double> measured = 2.0 * sum / n;
        // The ideal square wave's harmonic: polarity * 4 / (pi k) * sin(k w0 (t - edge)).
        const std::complex<double> ideal(0.0, -tone.polarity * 4.0 / (kPi * k));
        c.response.push_back(measured / ideal);
        explained += std::norm(measured) / 2.0;
    }
    c.noise = std::sqrt(std::max(0.0, power - explained));
    return c;
}

std::vector<float> equaliser(const Channel& channel, double short_hp) {
    constexpr std::size_t kSize = 2048;
    const double bit0 = 1.0 / (2.0 * short_hp);  // the shortest bit's fundamental, cycles per sample
    const double pass = 1.15 * bit0, stop = std::min(0.5, 2.5 * bit0);
    const double gain = channel.response.empty() ? 1.0 : std::abs(channel.response.front());
    // Noise weighs against boosting: a frequency the chain passes weakly is raised only so far.
    const double rho = 0.01 * gain * gain + 0.05 * channel.noise * channel.noise;
    std::vector<std::complex<double>> e(kSize);
    for (std::size_t k = 0; k <= kSize / 2; ++k) {
        const double f = static_cast<double>(k) / kSize;
        double d = f <= pass ? 1.0 : f >= stop ? 0.0 : 0.5 + 0.5 * std::cos(kPi * (f - pass) / (stop - pass));
        if (d == 0.0) continue;
        const std::complex<double> h = channel.at(f);
        e[k] = d * std::conj(h) / (std::norm(h) + rho);
        if (k > 0 && k < kSize / 2) e[kSize - k] = std::conj(e[k]);
    }
    e[kSize / 2] = e[kSize / 2].real();
    fft(e, true);
    const std::size_t half = std::min<std::size_t>(kSize / 4, static_cast<std::size_t>(std::ceil(8.0 * short_hp)));
    std::vector<float> taps(2 * half + 1);
    for (std::size_t k = 0; k < taps.size(); ++k) {
        const auto m = static_cast<std::ptrdiff_t>(k) - static_cast<std::ptrdiff_t>(half);
        const double window = 0.5 + 0.5 * std::cos(kPi * static_cast<double>(m) / static_cast<double>(half + 1));
        const std::size_t at = static_cast<std::size_t>((m + static_cast<std::ptrdiff_t>(kSize)) % static_cast<std::ptrdiff_t>(kSize));
        taps[k] = static_cast<float>(window * e[at].real() / kSize);
    }
    return taps;
}

}  // namespace kvr::demod
