// kvrtool convert: the recovering converter.
#pragma once

#include <cstdio>
#include <span>
#include <string>

namespace kvr {

// Runs `kvrtool convert` on the arguments after "convert"; returns the exit status: 0 after a
// conversion that found blocks, 1 after one that found none or an error, 2 after a usage error.
int convert_command(std::span<const std::string> args, std::FILE* out, std::FILE* err);

}  // namespace kvr
