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
    const std::string_view message = error_message(error);
    const std::size_t at = message.find("%s");
    if (at == std::string_view::npos) return std::string(message);
    std::string text(message.substr(0, at));
    text += subject;
    text += message.substr(at + 2);
    return text;
}

}  // namespace kvr
