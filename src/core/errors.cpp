#include "core/errors.hpp"

#include <iterator>

namespace kvr {

namespace {

constexpr std::string_view kMessages[] = {
#define KELVARIN_ERROR_MESSAGE(code, message) message,
    KELVARIN_ERRORS(KELVARIN_ERROR_MESSAGE)
#undef KELVARIN_ERROR_MESSAGE
};

}  // namespace

std::string_view error_message(Error error) {
    const auto i = static_cast<std::size_t>(error);
    return i < std::size(kMessages) ? kMessages[i] : std::string_view{};
}

std::string error_text(Error error, std::string_view subject) {
    std::string text(error_message(error));
    const std::size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, subject);
    return text;
}

}  // namespace kvr
