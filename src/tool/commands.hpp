// kvrtool's commands, apart from the program's entry so that tests and a fuzzer can run them.
#pragma once

#include <cstdio>
#include <span>
#include <string>

namespace kvr {

// Runs kvrtool on the arguments after the program name, printing to `out` and `err`;
// returns the exit status: 0, 1 after an error, 2 after a usage error.
int run_kvrtool(std::span<const std::string> args, std::FILE* out, std::FILE* err);

// Whether a file name ends in ".tap", in any case: the name of a TAP file.
bool ends_with_tap(const std::string& name);

// Whether a file name is a sound file's (".wav", ".flac", ...): never a name for an image or
// a page, which would replace a recording.
bool named_as_sound_file(const std::string& name);

}  // namespace kvr
