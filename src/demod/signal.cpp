#include "demod/signal.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kvr::demod {

PrefixSums::PrefixSums(std::span<const float> x) : s_(x.size() + 1), n_(x.size()) {
    double total = 0.0;
    s_[0] = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) s_[i + 1] = total += x[i];
}

void fft(std::vector<std::complex<double>>& a, bool inverse) {
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const double angle = 2.0 * std::numbers::pi / static_cast<double>(len) * (inverse ? 1.0 : -1.0);
        const std::complex<double> step(std::cos(angle), std::sin(angle));
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> w(1.0, 0.0);
            for (std::size_t k = 0; k < len / 2; ++k, w *= step) {
                const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
}

namespace {

// The same by blocks through the transform, for filters too long to apply tap by tap.
Signal filter_by_blocks(std::span<const float> x, std::span<const float> h) {
    const std::size_t n = x.size(), m = h.size();
    std::size_t size = 1;
    while (size < 4 * m) size <<= 1;
    const std::size_t step = size - m + 1;
    std::vector<std::complex<double>> taps(size), block(size);
    for (std::size_t k = 0; k < m; ++k) taps[k] = h[k];
    fft(taps, false);
    const std::size_t half = (m - 1) / 2;
    Signal y(n, 0.0f);
    for (std::size_t at = 0; at < n + half; at += step) {
        std::fill(block.begin(), block.end(), std::complex<double>{});
        for (std::size_t i = 0; i < step && at + i < n; ++i) block[i] = x[at + i];
        fft(block, false);
        for (std::size_t k = 0; k < size; ++k) block[k] *= taps[k];
        fft(block, true);
        // Full convolution sample at + j lands on output sample at + j - half.
        for (std::size_t j = 0; j < size; ++j) {
            const std::size_t out = at + j;
            if (out < half || out - half >= n) continue;
            y[out - half] += static_cast<float>(block[j].real() / static_cast<double>(size));
        }
    }
    return y;
}

}  // namespace

Signal filter(std::span<const float> x, std::span<const float> h) {
    const std::size_t n = x.size(), m = h.size();
    if (m > 48 && n > 4 * m) return filter_by_blocks(x, h);
    Signal y(n, 0.0f);
    if (n == 0 || m == 0) return y;
    const std::size_t half = (m - 1) / 2;
    for (std::size_t i = 0; i < n; ++i) {
        // Tap k meets sample i + half - k.
        const std::size_t top = i + half;
        const std::size_t k0 = top >= n ? top - n + 1 : 0, k1 = std::min(m, top + 1);
        double acc = 0.0;
        for (std::size_t k = k0; k < k1; ++k) acc += static_cast<double>(h[k]) * x[top - k];
        y[i] = static_cast<float>(acc);
    }
    return y;
}

Signal upsample(std::span<const float> x, int factor) {
    if (factor <= 1) return Signal(x.begin(), x.end());
    constexpr int kZeros = 8;  // zero crossings of the sinc on either side
    const int half = kZeros * factor;
    std::vector<float> h(static_cast<std::size_t>(2 * half + 1));
    for (int k = -half; k <= half; ++k) {
        const double t = static_cast<double>(k) / factor;
        const double sinc = k == 0 ? 1.0 : std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
        const double window = 0.5 + 0.5 * std::cos(std::numbers::pi * k / (half + 1));
        h[static_cast<std::size_t>(k + half)] = static_cast<float>(sinc * window);
    }
    Signal spread(x.size() * static_cast<std::size_t>(factor), 0.0f);
    for (std::size_t i = 0; i < x.size(); ++i) spread[i * static_cast<std::size_t>(factor)] = x[i];
    return filter(spread, h);
}

Signal remove_local_mean(std::span<const float> x, std::size_t width) {
    const PrefixSums s(x);
    const std::size_t n = x.size(), half = std::max<std::size_t>(1, width / 2);
    Signal y(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t a = i >= half ? i - half : 0, b = std::min(n, i + half + 1);
        y[i] = static_cast<float>(x[i] - s.sum(static_cast<double>(a), static_cast<double>(b)) / static_cast<double>(b - a));
    }
    return y;
}

}  // namespace kvr::demod
