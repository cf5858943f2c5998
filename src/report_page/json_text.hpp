// Pieces of JSON text for the report page.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace kvr {

// A JSON string. Bytes of 0x80 and above are taken one by one as code points (a file name
// need not be UTF-8), and "<" is escaped so that the text can stand inside a script element.
std::string json_string(std::string_view text);
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
