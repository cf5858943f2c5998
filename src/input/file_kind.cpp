#include "input/file_kind.hpp"

#include <algorithm>

#include "formats/tape_reader.hpp"

namespace kvr {

namespace {

// How much of a file is looked at to call it text.
constexpr std::size_t kTextSample = 4096;

// Records of a length and that many bytes, each of at least one byte, that end exactly
// where the file does: the layout of a TAP file, which has no signature of its own.
bool looks_like_tap(Bytes file) {
    std::size_t at = 0, records = 0;
    while (file.size() - at >= 2) {
        const std::size_t length = file[at] | (file[at + 1] << 8);
        if (length == 0 || length > file.size() - at - 2) return false;
        at += 2 + length;
        ++records;
    }
    return at == file.size() && records > 0;
}

// Printable characters, line ends and tabs (and bytes of UTF-8 sequences), with no NUL.
bool looks_like_text(Bytes file) {
    const Bytes head = file.first(std::min(file.size(), kTextSample));
    return std::all_of(head.begin(), head.end(), [](std::uint8_t c) {
        return c >= 0x20 ? c != 0x7F : c == '\n' || c == '\r' || c == '\t' || c == '\f';
    });
}

}  // namespace

Error what_the_file_is(Bytes file) {
    if (looks_like_kvr(file)) return Error::input_is_kvr_image;
    if (file.empty()) return Error::empty_file;
    if (looks_like_text(file)) return Error::input_is_text;
    if (looks_like_tap(file)) return Error::input_is_tap_file;
    return Error::input_not_sound;
}

}  // namespace kvr
