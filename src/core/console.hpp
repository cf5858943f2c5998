// The one printf-style sink for console text: standard output (and standard error for
// warnings) in the program, strings in tests.
#pragma once

#include "core/errors.hpp"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace kvr {

class Console {
public:
    Console() = default;  // collects text in strings
    Console(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}

    void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void warn(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A fatal error's text: printed as the report is (kelvarin), or, once errors are sent
    // apart, on standard error where scripts look for it (kvrtool).
    void fail(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void send_errors_apart() { errors_apart_ = true; }
    void flush();

    // A line on standard error that the next text replaces (a long run's progress): it is
    // cleared before anything else is written, so that the terminal shows what a file would.
    void progress(const std::string& line);
    void clear_progress();

    // The descriptor behind standard output, or -1 when the text is collected in strings.
    int output_fd() const;
    // Sends what would go to standard output to standard error from now on.
    void use_errors_for_output();

    // A console that holds what it is given, in order, until it is played on another one:
    // for work whose text may only be shown after other text, or not at all.
    static Console holding();
    void play_to(Console& to) const;

    const std::string& text() const { return text_; }
    const std::string& warnings() const { return warnings_; }
    void clear() { text_.clear(); warnings_.clear(); }

private:
    static void emit(std::FILE* stream, std::string& sink, const char* format, std::va_list args);
    // Formatted text to where print (or, for a warning, warn) sends it.
    void say(bool warning, const char* format, std::va_list args);
    // Text already formatted, to the same place.
    void put(bool warning, const std::string& text);

    struct Held {
        bool warning;
        std::string text;
    };
    bool holding_ = false;
    std::vector<Held> held_;
    bool errors_apart_ = false;
    std::size_t progress_width_ = 0;  // of the progress line shown, or 0

    std::FILE* out_ = nullptr;
    std::FILE* err_ = nullptr;
    std::string text_;
    std::string warnings_;
};

}  // namespace kvr

namespace kvr {

// The one error routine: every fatal error is shown as "\n-- Error: <message>\n".
void report_error(Console& console, const std::string& message);
// The same for an error of the list, about `subject`.
void report_error(Console& console, Error error, std::string_view subject = {});

}  // namespace kvr
