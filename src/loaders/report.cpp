#include "loaders/report.hpp"

#include <cinttypes>
#include <cmath>

#include "loaders/loader.hpp"

namespace kvr {

namespace {

// A count with its thousands apart: 1,234,567.
std::string grouped(std::int64_t n) {
    std::string digits = std::to_string(n < 0 ? -n : n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return n < 0 ? "-" + out : out;
}

// A moment of the recording as minutes and seconds to the hundredth: 0:41.20.
std::string moment(double seconds) {
    const auto hundredths = static_cast<std::int64_t>(std::floor(std::max(0.0, seconds) * 100.0 + 0.5));
    char text[40];
    std::snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64 ".%02" PRId64, hundredths / 6000, hundredths / 100 % 60,
                  hundredths % 100);
    return text;
}

}  // namespace

void Report::creating(bool tap_output) {
    if (tap_output) {
        console_.print("Creating .TAP file ...\n\n");
    } else {
        console_.print("Creating 1.02 version ");
        console_.print(".KVR file ... \n\n");
    }
}

void Report::pause(float seconds) { console_.print("P-%1.3f\n", static_cast<double>(seconds)); }

void Report::end() { console_.print("\n"); }

// Not the error routine's text: this one has no empty line before it.
void Report::no_blocks() { console_.fail("-- Error: %s\n", error_text(Error::no_blocks).c_str()); }

void Report::cannot_create(const std::string& name) { report_error(console_, Error::cannot_create_output, name); }

void Report::cannot_write(const std::string& name) { report_error(console_, Error::cannot_write_output, name); }

// A read that found no block has no lines.
void Report::before(const DecodedBlock& block) {
    if (!block.line.has_value()) return;
    if (block.loader->print_heading != nullptr) block.loader->print_heading(block, console_);
}

void Report::subblock(const SubBlock& s) {
    console_.print("   Sub-Block %2d                                             L-%5d\n", s.number, s.length);
}

void Report::block(const DecodedBlock& block) {
    if (block.line.has_value()) block.loader->print_line(block, console_);
}

void Report::note(const std::string& text) { console_.print("%s\n", text.c_str()); }


void Report::kept_signal(std::int64_t pulses, double from, double to) {
    console_.print("Kept signal: %s pulses over %.2f s, %s to %s\n", grouped(pulses).c_str(), to - from,
                   moment(from).c_str(), moment(to).c_str());
}

void Report::kept_block(std::int32_t block_number, std::int64_t pulses) {
    console_.print("Kept block %d as recorded: %s pulses beside its bytes\n", block_number, grouped(pulses).c_str());
}

void Report::tap_record_too_long(std::int32_t block_number, std::int32_t length, const std::string& output_name) {
    console_.warn("Warning: block %d has %d bytes, too many for a TAP record; it was left out of %s\n", block_number,
                  length, output_name.c_str());
}

}  // namespace kvr
