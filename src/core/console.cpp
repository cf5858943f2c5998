#include "console.hpp"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace kvr {

void Console::emit(std::FILE* stream, std::string& sink, const char* format, std::va_list args) {
    char small[512];
    std::va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    const char* text = small;
    std::vector<char> large;
    if (static_cast<std::size_t>(n) >= sizeof small) {
        large.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(large.data(), large.size(), format, again);
        text = large.data();
    }
    va_end(again);
    if (stream != nullptr)
        std::fwrite(text, 1, static_cast<std::size_t>(n), stream);
    else
        sink.append(text, static_cast<std::size_t>(n));
}

void Console::print(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    say(false, format, args);
    va_end(args);
}

void Console::fail(const char* format, ...) {
    if (errors_apart_ && out_ != nullptr) std::fflush(out_);
    std::va_list args;
    va_start(args, format);
    say(errors_apart_, format, args);
    va_end(args);
}

void Console::progress(const std::string& line) {
    if (err_ == nullptr || holding_) return;
    if (out_ != nullptr) std::fflush(out_);
    // What is left of a longer line before is blanked.
    const int pad = static_cast<int>(progress_width_ > line.size() ? progress_width_ - line.size() : 0);
    std::fprintf(err_, "\r%s%*s", line.c_str(), pad, "");
    std::fflush(err_);
    progress_width_ = std::max(progress_width_, std::max<std::size_t>(line.size(), 1));
}

void Console::clear_progress() {
    if (progress_width_ == 0) return;
    std::fprintf(err_, "\r%*s\r", static_cast<int>(progress_width_), "");
    std::fflush(err_);
    progress_width_ = 0;
}

void Console::warn(const char* format, ...) {
    if (out_ != nullptr) std::fflush(out_);  // keep the two streams in order on a terminal
    std::va_list args;
    va_start(args, format);
    say(true, format, args);
    va_end(args);
}

void Console::say(bool warning, const char* format, std::va_list args) {
    clear_progress();
    if (holding_) {
        held_.push_back({warning, {}});
        emit(nullptr, held_.back().text, format, args);
    } else {
        emit(warning ? err_ : out_, warning ? warnings_ : text_, format, args);
    }
}

Console Console::holding() {
    Console c;
    c.holding_ = true;
    return c;
}

void Console::put(bool warning, const std::string& text) {
    if (holding_) {
        held_.push_back({warning, text});
        return;
    }
    clear_progress();
    if (warning && out_ != nullptr) std::fflush(out_);
    std::FILE* stream = warning ? err_ : out_;
    if (stream != nullptr)
        std::fwrite(text.data(), 1, text.size(), stream);
    else
        (warning ? warnings_ : text_).append(text);
}

void Console::play_to(Console& to) const {
    for (const Held& h : held_) to.put(h.warning, h.text);
}

int Console::output_fd() const { return out_ != nullptr ? ::fileno(out_) : -1; }

void Console::use_errors_for_output() {
    if (out_ != nullptr && err_ != nullptr) out_ = err_;
}

void Console::flush() {
    if (out_ != nullptr) std::fflush(out_);
    if (err_ != nullptr) std::fflush(err_);
}

}  // namespace kvr

namespace kvr {

void report_error(Console& console, const std::string& message) {
    console.fail("\n-- Error: %s\n", message.c_str());
}

void report_error(Console& console, Error error, std::string_view subject) {
    report_error(console, error_text(error, subject));
}

}  // namespace kvr
