#include "loaders/report.hpp"

namespace kvr {

namespace {

// The name of a ROM header block ("P:", "N:", "C:" or "B:" and ten characters), else dashes.
void header_name_text(const RomLine& l, char text[13]) {
    static const char* const kPrefix[] = {"P:", "N:", "C:", "B:"};
    const std::array<std::uint8_t, 12>& d = l.head;
    if (d[0] == 0 && (l.length == 19 || l.length == 20) && d[1] <= 3) {
        text[0] = kPrefix[d[1]][0];
        text[1] = kPrefix[d[1]][1];
        for (int i = 0; i < 10; ++i) {
            const std::uint8_t c = d[static_cast<std::size_t>(2 + i)];
            text[2 + i] = (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : ' ';
        }
    } else {
        for (int i = 0; i < 12; ++i) text[i] = '-';
    }
    text[12] = '\0';
}

struct BlockLinePrinter {
    Console& out;
    void operator()(std::monostate) const {}
    void operator()(const RomLine& l) const {
        char name[13];
        header_name_text(l, name);
        out.print("%c%s P-%4d,%4d S-%4d/%4d 0-%4d,1-%4d F-%02X B%d L-%5d C%c ", l.flag_letter, name, l.pilot_pulse,
                  l.pilot_count, l.sync1, l.sync2, l.bit0, l.bit1, l.head[0], l.used_bits, l.length, l.check);
    }
    void operator()(const Speedlock1Line& l) const {
        out.print(" Speedlock 1 block %d   Flag:%s                       B%d L-%5d C%c ", l.number, l.flags.data(),
                  l.used_bits, l.length, l.check);
    }
    void operator()(const SpeedlockBlock1Line& l) const {
        out.print(" Speedlock %d block 1                                     B%d L-%5d C%c ", l.type, l.used_bits,
                  l.length, l.check);
    }
    void operator()(const SpeedlockBlock2Line& l) const {
        out.print(" Speedlock %d block 2 Total                               B%d L-%5d C%c ", l.type, l.used_bits,
                  l.total, l.check);
    }
    void operator()(const DigitalIntegrationLine& l) const {
        out.print(" Digital Integration Block %d          0-%4d,1-%4d      B%d L-%5d    ", l.number, l.bit0, l.bit1,
                  l.used_bits, l.length);
    }
};

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

void Report::no_blocks() { console_.print("-- Error: No blocks found... please consult the documentation!\n"); }

void Report::cannot_create(const std::string& name) { report_error(console_, "Cannot create output file " + name + " !"); }

void Report::cannot_write(const std::string& name) { report_error(console_, "Cannot write output file " + name + " !"); }

void Report::before(const DecodedBlock& block) {
    if (const auto* l = std::get_if<SpeedlockBlock1Line>(&block.line); l != nullptr && l->noise_seconds)
        console_.print(" Speedlock 3 variant 2 Simulated Noise for %1.3f seconds\n", *l->noise_seconds);
    if (const auto* l = std::get_if<SpeedlockBlock2Line>(&block.line)) console_.print(" Speedlock %d block 2 :\n", l->type);
}

void Report::subblock(const SubBlock& s) {
    console_.print("   Sub-Block %2d                                             L-%5d\n", s.number, s.length);
}

void Report::block(const DecodedBlock& block) { std::visit(BlockLinePrinter{console_}, block.line); }

void Report::tap_record_too_long(std::int32_t block_number, std::int32_t length, const std::string& output_name) {
    console_.warn("Warning: block %d has %d bytes, too many for a TAP record; it was left out of %s\n", block_number,
                  length, output_name.c_str());
}

}  // namespace kvr
