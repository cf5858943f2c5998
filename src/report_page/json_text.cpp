#include "report_page/json_text.hpp"

#include <cmath>
#include <cstdio>

namespace kvr {

std::string json_string(std::string_view text) {
    std::string s = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            s += '\\';
            s += ch;
        } else if (c < 0x20 || c >= 0x7F || c == '<') {
            char u[8];
            std::snprintf(u, sizeof u, "\\u%04x", c);
            s += u;
        } else {
            s += ch;
        }
    }
    return s + "\"";
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
