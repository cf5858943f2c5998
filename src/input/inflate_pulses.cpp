// Z-RLE: the pulse stream of a CSW file compressed with zlib, inflated through a small
// window so that a file of a few bytes cannot make the reader ask for gigabytes.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "input/csw_pulses.hpp"

namespace kvr {

namespace {

// Gathers pulses from pieces of inflated bytes; a long pulse may straddle two pieces.
class PulseCollector {
public:
    PulseCollector(CompactPulses& out, std::int64_t max_samples) : out_(out), max_(max_samples) {}

    // False as soon as the pulses add up to more than the ceiling.
    bool feed(const std::uint8_t* p, std::size_t n) {
        std::size_t i = 0;
        while (i < n) {
            if (partial_ > 0) {
                long_length_ |= std::uint32_t{p[i++]} << (8 * (partial_ - 1));
                if (++partial_ == 5) {
                    if (!pulse(long_length_)) return false;
                    partial_ = 0;
                    long_length_ = 0;
                }
            } else if (p[i] == 0) {
                partial_ = 1;
                ++i;
            } else {
                // A run of short pulses, the bulk of every recording, goes over in one piece.
                const auto* zero = static_cast<const std::uint8_t*>(std::memchr(p + i, 0, n - i));
                const std::size_t end = zero != nullptr ? static_cast<std::size_t>(zero - p) : n;
                if (!short_pulses(p + i, end - i)) return false;
                i = end;
            }
        }
        return true;
    }

    // A long pulse cut off by the end of the stream is dropped, as in version 1.
    void finish() {
        if (have_pending_) emit(pending_);
        out_.samples = samples_;
    }

private:
    bool pulse(std::uint32_t length) {
        ++out_.pulses;
        samples_ += length;
        if (samples_ > max_) return false;
        if (length == 0) {
            odd_empty_ = !odd_empty_;
            return true;
        }
        if (!have_pending_) {
            out_.first_flipped = odd_empty_;
            pending_ = length;
            have_pending_ = true;
        } else if (odd_empty_) {
            pending_ += length;  // the same level on both sides of the empty pulses
        } else {
            emit(pending_);
            pending_ = length;
        }
        odd_empty_ = false;
        return true;
    }

    // Pulses of 1 to 255 samples: the first may join the pulse before it, the others are
    // kept as they are, the last waits in case empty pulses follow it.
    bool short_pulses(const std::uint8_t* p, std::size_t n) {
        if (!pulse(p[0])) return false;
        if (n == 1) return true;
        std::int64_t sum = 0;
        for (std::size_t i = 1; i < n; ++i) sum += p[i];
        samples_ += sum;
        if (samples_ > max_) return false;
        out_.pulses += n - 1;
        emit(pending_);
        out_.rle.insert(out_.rle.end(), p + 1, p + n - 1);
        pending_ = p[n - 1];
        return true;
    }

    // `length` is at most max_samples, so it fits the 32-bit form.
    void emit(std::int64_t length) {
        if (length <= 255) {
            out_.rle.push_back(static_cast<std::uint8_t>(length));
            return;
        }
        out_.rle.push_back(0);
        for (int i = 0; i < 4; ++i) out_.rle.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    }

    CompactPulses& out_;
    std::int64_t max_;
    std::int64_t samples_ = 0;
    std::int64_t pending_ = 0;
    bool have_pending_ = false;
    bool odd_empty_ = false;
    int partial_ = 0;  // bytes of a long pulse seen so far, its 0 byte included
    std::uint32_t long_length_ = 0;
};

class Inflater {
public:
    Inflater() { ok_ = inflateInit(&z_) == Z_OK; }
    ~Inflater() {
        if (ok_) inflateEnd(&z_);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    bool ok() const { return ok_; }
    z_stream& stream() { return z_; }

private:
    z_stream z_{};
    bool ok_ = false;
};

}  // namespace

InflateResult inflate_pulses(Bytes deflated, std::int64_t max_samples, CompactPulses& out) {
    out = CompactPulses{};
    Inflater inflater;
    if (!inflater.ok()) return InflateResult::corrupt;
    z_stream& z = inflater.stream();
    PulseCollector collector(out, max_samples);
    // Pulse streams pack to about a fifth; room for four times the packed bytes is backed by
    // the file itself and spares most of the growing.
    out.rle.reserve(std::min<std::size_t>(deflated.size(), std::size_t{1} << 28) * 4);
    std::array<std::uint8_t, 1 << 16> window;
    std::size_t fed = 0;
    for (;;) {
        if (z.avail_in == 0 && fed < deflated.size()) {
            // avail_in holds 32 bits; a stream of more than 4 GB goes in in slices.
            const std::size_t slice = std::min<std::size_t>(deflated.size() - fed, std::size_t{1} << 30);
            z.next_in = const_cast<Bytef*>(deflated.data() + fed);
            z.avail_in = static_cast<uInt>(slice);
            fed += slice;
        }
        z.next_out = window.data();
        z.avail_out = static_cast<uInt>(window.size());
        const int ret = inflate(&z, Z_NO_FLUSH);
        const std::size_t produced = window.size() - z.avail_out;
        if (ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR) return InflateResult::corrupt;
        if (!collector.feed(window.data(), produced)) return InflateResult::too_long;
        if (ret == Z_STREAM_END) break;
        // No progress with all the input given: the stream was cut short.
        if (ret == Z_BUF_ERROR || (produced == 0 && z.avail_in == 0 && fed == deflated.size()))
            return InflateResult::corrupt;
    }
    collector.finish();
    return InflateResult::ok;
}

}  // namespace kvr
