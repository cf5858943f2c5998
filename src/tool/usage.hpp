// kvrtool's usage errors: the message, the command's synopsis and where its options are
// told, three lines rather than the whole help; and a guess at what a mistyped word meant.
#pragma once

#include <cstdio>
#include <span>
#include <string>

namespace kvr {

// Prints the error with the first line of `usage` and a pointer to `kvrtool COMMAND --help`
// (or `kvrtool --help` when `command` is empty). Returns 2, the status of a usage error.
int usage_error(std::FILE* err, const std::string& usage, const std::string& command, const std::string& message);

// " (did you mean --loader?)" for the choice nearest to `word`, when one is near enough to be
// a slip of the fingers; else empty.
std::string did_you_mean(const std::string& word, std::span<const std::string> choices);

}  // namespace kvr
