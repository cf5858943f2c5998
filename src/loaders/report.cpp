#include "loaders/report.hpp"

#include "loaders/loader.hpp"

namespace kvr {

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

void Report::tap_record_too_long(std::int32_t block_number, std::int32_t length, const std::string& output_name) {
    console_.warn("Warning: block %d has %d bytes, too many for a TAP record; it was left out of %s\n", block_number,
                  length, output_name.c_str());
}

}  // namespace kvr
