// The arithmetic the demodulator is built of: sums over stretches of a signal whose bounds
// need not be whole samples, a fast Fourier transform for designing filters, filtering, and
// raising a signal's rate.
#pragma once

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

namespace kvr::demod {

using Signal = std::vector<float>;

// Prefix sums: the sum over any stretch takes two lookups. Between two samples the sum
// grows linearly, as if each sample held its value over its whole width.
class PrefixSums {
public:
    PrefixSums() = default;
    explicit PrefixSums(std::span<const float> x);

    // The sum of x over [0, t), t clamped to [0, size].
    double at(double t) const {
        if (!(t > 0.0)) return 0.0;
        if (t >= static_cast<double>(n_)) return s_[n_];
        const auto i = static_cast<std::size_t>(t);
        return s_[i] + (t - static_cast<double>(i)) * (s_[i + 1] - s_[i]);
    }
    double sum(double a, double b) const { return at(b) - at(a); }
    std::size_t size() const { return n_; }

private:
    std::vector<double> s_{0.0};
    std::size_t n_ = 0;
};

// An in-place transform of a power-of-two length; `inverse` without the 1/n.
void fft(std::vector<std::complex<double>>& a, bool inverse);

// x filtered by the taps h, centred: y[i] = sum_k h[k] x[i + (h.size() - 1) / 2 - k], the
// signal taken as 0 outside its bounds.
Signal filter(std::span<const float> x, std::span<const float> h);

// x at `factor` times its rate, band-limited (a windowed sinc): sample i of x is sample
// factor * i of the result.
Signal upsample(std::span<const float> x, int factor);

// x less its mean over the `width` samples around each sample (a high-pass that follows hum
// and offset).
Signal remove_local_mean(std::span<const float> x, std::size_t width);

}  // namespace kvr::demod
