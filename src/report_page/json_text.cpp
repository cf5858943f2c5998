#include "report_page/json_text.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kvr {

namespace {

// The length of the UTF-8 sequence at the start of `text` and its code point; 0 when the
// bytes there are no valid sequence (a stray or missing continuation, an overlong form, a
// surrogate, or beyond U+10FFFF).
std::size_t utf8_sequence(std::string_view text, char32_t& code) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    char32_t least = 0;
    if (lead < 0x80) length = 1, code = lead;
    else if (lead >= 0xC2 && lead <= 0xDF) length = 2, code = lead & 0x1Fu, least = 0x80;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, code = lead & 0x0Fu, least = 0x800;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, code = lead & 0x07u, least = 0x10000;
    else return 0;
    if (text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) return 0;
        code = code << 6 | (next & 0x3Fu);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

void append_escape(std::string& s, const char* format, unsigned value) {
    char escape[16];
    std::snprintf(escape, sizeof escape, format, value);
    s += escape;
}

}  // namespace

std::string json_string(std::string_view text) {
    std::string s = "\"";
    for (std::size_t at = 0; at < text.size();) {
        char32_t code = 0;
        const std::size_t length = std::max<std::size_t>(1, utf8_sequence(text.substr(at), code));
        if (length == 1) code = static_cast<unsigned char>(text[at]);
        at += length;
        if (code == '"' || code == '\\') {
            s += '\\';
            s += static_cast<char>(code);
        } else if (code >= 0x10000) {
            const char32_t v = code - 0x10000;
            append_escape(s, "\\u%04x", static_cast<unsigned>(0xD800 + (v >> 10)));
            append_escape(s, "\\u%04x", static_cast<unsigned>(0xDC00 + (v & 0x3FF)));
        } else if (code < 0x20 || code >= 0x7F || code == '<') {
            append_escape(s, "\\u%04x", static_cast<unsigned>(code));
        } else {
            s += static_cast<char>(code);
        }
    }
    return s + "\"";
}

std::string readable_name(std::string_view name) {
    std::string s;
    for (std::size_t at = 0; at < name.size();) {
        char32_t code = 0;
        const std::size_t length = utf8_sequence(name.substr(at), code);
        const bool control = code < 0x20 || code == 0x7F || (code >= 0x80 && code < 0xA0);
        if (length == 0 || control) {
            // Each byte of a control character or of bytes that are no character.
            for (std::size_t i = 0; i < std::max<std::size_t>(1, length); ++i)
                append_escape(s, "\\x%02X", static_cast<unsigned char>(name[at + i]));
            at += std::max<std::size_t>(1, length);
            continue;
        }
        if (code == '\\') s += '\\';
        s.append(name.substr(at, length));
        at += length;
    }
    return s;
}

std::string json_tuple(std::initializer_list<std::string> items) {
    std::string s = "[";
    for (const std::string& item : items) {
        if (s.size() > 1) s += ',';
        s += item;
    }
    return s + "]";
}

std::string json_number(double value, int decimals) {
    if (!std::isfinite(value)) return "null";
    char buf[64];
    if (std::fabs(value) >= 1e15) {
        std::snprintf(buf, sizeof buf, "%.17g", value);
        return buf;
    }
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    std::string s = buf;
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0') s.pop_back();
        if (s.back() == '.') s.pop_back();
    }
    if (s == "-0") s = "0";
    return s;
}

}  // namespace kvr
