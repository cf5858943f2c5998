// The program's entry: banner, command line, loading, conversion, exit status.
#pragma once

#include <functional>
#include <span>
#include <string>

#include "conversion/driver.hpp"

namespace kvr {

struct Context;

enum class ParseOutcome { run, error };

// Reads the switches and file names into the settings and derives the output name.
// On error the message has been reported.
ParseOutcome parse_command_line(Context& cx, std::span<const std::string> args);
std::string derive_output_name(const std::string& input_name, bool tap_output);
void print_usage(Context& cx);

// The conversion of a loaded recording; by default the classic one.
using ConversionStep = std::function<ConversionResult(Context&)>;

// The load step: fills cx.recording, prints the info lines; false after a fatal error has
// been reported. By default the recording's levels are loaded from the input file.
using LoadStep = std::function<bool(Context&)>;

// Runs the whole program on the arguments after the program name; returns the exit status.
int run_program(Context& cx, std::span<const std::string> args, const ConversionStep& convert = {},
                const LoadStep& load = {});

}  // namespace kvr
