#include "tool/play_options.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "tool/usage.hpp"

namespace kvr {

namespace {

// A decimal number, finite and within [low, high]; a whole one when `whole` is set.
bool number_in(const std::string& text, double low, double high, bool whole, double& out) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(v) || v < low || v > high) return false;
    if (whole && v != std::floor(v)) return false;
    out = v;
    return true;
}

// Any 64-bit seed, in digits only: a sign or an exponent would be wrapped or rounded.
bool seed_value(const std::string& text, std::uint64_t& out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE) return false;
    out = v;
    return true;
}

struct Option {
    const char* name;
    const char* alias;  // or nullptr
    const char* value_name;
    const char* help;
    const char* wants;  // what the value must be; nullptr for a format name
    bool (*set)(PlayRequest&, const std::string& value);
};

const Option kOptions[] = {
    {"--output", "-o", "FILE", "the recording to write (required; - for the standard output)", "a file name",
     [](PlayRequest& r, const std::string& v) {
         r.output = v;
         return !v.empty();
     }},
    {"--rate", nullptr, "HZ", "sample rate (default 44100)", "a whole number from 1 to 10000000",
     [](PlayRequest& r, const std::string& v) {
         double x = 0;
         if (!number_in(v, kMinRate, kMaxRate, true, x)) return false;
         r.options.rate = static_cast<std::uint32_t>(x);
         return true;
     }},
    {"--format", nullptr, "NAME", nullptr, nullptr,
     [](PlayRequest& r, const std::string& v) { return parse_sample_format(v, r.options.format); }},
    {"--amplitude", nullptr, "A", "square-wave amplitude, full scale 1; below 0 inverts (default 0.5)",
     "a number from -1 to 1",
     [](PlayRequest& r, const std::string& v) {
         return number_in(v, -kMaxLevel, kMaxLevel, false, r.options.amplitude);
     }},
    {"--dc-offset", nullptr, "D", "added to every sample (default 0)", "a number from -1 to 1",
     [](PlayRequest& r, const std::string& v) {
         return number_in(v, -kMaxLevel, kMaxLevel, false, r.options.dc_offset);
     }},
    {"--noise", nullptr, "N", "peak of additive noise, full scale 1 (default 0)", "a number from 0 to 1",
     [](PlayRequest& r, const std::string& v) { return number_in(v, 0, kMaxNoise, false, r.options.noise); }},
    {"--jitter", nullptr, "PCT", "scale each pulse by a random factor within PCT percent (default 0)",
     "a number from 0 to 50",
     [](PlayRequest& r, const std::string& v) { return number_in(v, 0, kMaxJitterPct, false, r.options.jitter_pct); }},
    {"--lowpass", nullptr, "HZ", "round the edges with a one-pole low-pass at HZ (default 0: off)",
     "a number from 0 to 10000000",
     [](PlayRequest& r, const std::string& v) { return number_in(v, 0, kMaxLowpassHz, false, r.options.lowpass_hz); }},
    {"--seed", nullptr, "N", "seed of the noise, jitter and dropouts (default 1)",
     "a whole number from 0 to 18446744073709551615",
     [](PlayRequest& r, const std::string& v) { return seed_value(v, r.options.seed); }},
    // Damage, for test material.
    {"--wow", nullptr, "PCT", "slow speed drift, peak in percent (default 0)", "a number from 0 to 10",
     [](PlayRequest& r, const std::string& v) { return number_in(v, 0, kMaxDriftPct, false, r.options.wow_pct); }},
    {"--wow-rate", nullptr, "HZ", "rate of the wow (default 0.8)", "a number from 0 to 1000",
     [](PlayRequest& r, const std::string& v) { return number_in(v, 0, kMaxDriftHz, false, r.options.wow_hz); }},
    {"--flutter", nullptr, "PCT", "fast speed drift, peak in percent (default 0)", "a number from 0 to 10",
     [](PlayRequest& r, const std::string& v) { return number_in(v, 0, kMaxDriftPct, false, r.options.flutter_pct); }},
    {"--flutter-rate", nullptr, "HZ", "rate of the flutter (default 7)", "a number from 0 to 1000",
     [](PlayRequest& r, const std::string& v) { return number_in(v, 0, kMaxDriftHz, false, r.options.flutter_hz); }},
    {"--hum", nullptr, "LEVEL", "peak of mains hum and its third harmonic, full scale 1 (default 0)",
     "a number from 0 to 1",
     [](PlayRequest& r, const std::string& v) { return number_in(v, 0, kMaxLevel, false, r.options.hum); }},
    {"--hum-freq", nullptr, "HZ", "mains frequency of the hum (default 50)", "a number from 0 to 1000",
     [](PlayRequest& r, const std::string& v) { return number_in(v, 0, kMaxHumHz, false, r.options.hum_hz); }},
    {"--dropouts", nullptr, "N", "dropouts a minute, at random (default 0)", "a number from 0 to 600",
     [](PlayRequest& r, const std::string& v) {
         return number_in(v, 0, kMaxDropoutsPerMinute, false, r.options.dropouts_per_minute);
     }},
    {"--dropout-ms", nullptr, "MS", "length of each dropout (default 30)", "a number from 0 to 10000",
     [](PlayRequest& r, const std::string& v) { return number_in(v, 0, kMaxDropoutMs, false, r.options.dropout_ms); }},
    {"--dropout-depth", nullptr, "G", "level left in a dropout, 0 to 1 (default 0.1)", "a number from 0 to 1",
     [](PlayRequest& r, const std::string& v) { return number_in(v, 0, 1, false, r.options.dropout_depth); }},
    {"--highpass", nullptr, "HZ", "droop of a one-pole high-pass at HZ, as AC coupling (default 0: off)",
     "a number from 0 to 10000000",
     [](PlayRequest& r, const std::string& v) { return number_in(v, 0, kMaxLowpassHz, false, r.options.highpass_hz); }},
    {"--clip", nullptr, "LEVEL", "limit every sample to LEVEL, full scale 1 (default 0: off)", "a number from 0 to 1",
     [](PlayRequest& r, const std::string& v) { return number_in(v, 0, kMaxLevel, false, r.options.clip); }},
    {"--gain-left", nullptr, "G", "gain of the left channel of wav8s/wav16s; below 0 inverts (default 1)",
     "a number from -10 to 10",
     [](PlayRequest& r, const std::string& v) { return number_in(v, -kMaxGain, kMaxGain, false, r.options.gain_left); }},
    {"--gain-right", nullptr, "G", "gain of the right channel; 0 leaves it dead (default 1)", "a number from -10 to 10",
     [](PlayRequest& r, const std::string& v) { return number_in(v, -kMaxGain, kMaxGain, false, r.options.gain_right); }},
};

const Option* find_option(const std::string& arg) {
    for (const Option& o : kOptions)
        if (arg == o.name || (o.alias != nullptr && arg == o.alias)) return &o;
    return nullptr;
}

std::string wants(const Option& o) {
    return o.wants != nullptr ? o.wants : "one of " + sample_format_names();
}

}  // namespace

bool parse_play_arguments(std::span<const std::string> args, PlayRequest& request, std::string& error) {
    bool format_given = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() > 1 && arg[0] == '-') {
            const Option* o = find_option(arg);
            if (o == nullptr) {
                std::vector<std::string> names;
                for (const Option& known : kOptions) names.emplace_back(known.name);
                error = "unknown option " + arg + did_you_mean(arg, names);
                return false;
            }
            format_given = format_given || std::string(o->name) == "--format";
            if (i + 1 >= args.size()) {
                error = arg + " needs " + wants(*o);
                return false;
            }
            const std::string& value = args[++i];
            if (!o->set(request, value)) {
                error = arg + " needs " + wants(*o) + ", not '" + value + "'";
                return false;
            }
        } else if (request.image.empty()) {
            request.image = arg;
        } else {
            error = "play takes one image";
            return false;
        }
    }
    if (request.image.empty()) {
        error = "no image given";
        return false;
    }
    if (request.output.empty()) {
        error = "no output given (-o OUT)";
        return false;
    }
    if (!format_given) sample_format_for_name(request.output, request.options.format);
    return check_render_options(request.options, error);
}

std::string play_option_lines() {
    std::string lines;
    for (const Option& o : kOptions) {
        std::string left = std::string(o.alias != nullptr ? o.alias + std::string(", ") : "") + o.name + " " + o.value_name;
        left.resize(std::max<std::size_t>(left.size() + 1, 21), ' ');
        const std::string help =
            o.help != nullptr ? o.help : sample_format_names() + " (default: by the output's extension, else wav16)";
        lines += "  " + left + help + "\n";
    }
    return lines;
}

}  // namespace kvr
