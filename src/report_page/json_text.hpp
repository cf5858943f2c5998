// Pieces of text for the report page: JSON, and file names fit to be shown.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace kvr {

// A JSON string, in ASCII: UTF-8 sequences become the characters they encode; any other
// byte of 0x80 and above is taken as a code point of its own (a tape's text is no UTF-8),
// and "<" is escaped so that the text can stand inside a script element.
std::string json_string(std::string_view text);

// A file name as it may be shown, on the page and on a terminal: valid UTF-8 stays as it is;
// control characters and bytes that are not UTF-8 become \xHH, and a backslash \\, so that
// every name reads back unambiguously.
std::string readable_name(std::string_view name);

// A number with at most `decimals` decimals, trailing zeros dropped; non-finite values are null.
std::string json_number(double value, int decimals);

// "[a,b,...]" of items that are JSON already.
std::string json_tuple(std::initializer_list<std::string> items);

template <class T, class Format>
std::string json_array(const std::vector<T>& values, Format format) {
    std::string s = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) s += ',';
        s += format(values[i]);
    }
    return s + "]";
}

}  // namespace kvr
