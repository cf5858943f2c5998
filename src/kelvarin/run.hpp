// The classic program: banner, command line, conversion, exit status.
#pragma once

#include <span>
#include <string>

#include "run/convert_file.hpp"

namespace kvr {

struct Context;

enum class ParseOutcome { run, error };

// Reads the switches and file names into the settings and derives the output name.
// On error the message has been reported.
ParseOutcome parse_command_line(Context& cx, std::span<const std::string> args);
void print_usage(Context& cx);

// Runs the whole program on the arguments after the program name; returns the exit status.
int run_program(Context& cx, std::span<const std::string> args, const ConversionOptions& options = {});

}  // namespace kvr
