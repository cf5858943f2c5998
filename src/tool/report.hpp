// kvrtool report: a recording analysed as kvrtool convert analyses it, shown as one HTML page.
#pragma once

#include <cstdio>
#include <span>
#include <string>

namespace kvr {

// Runs `kvrtool report` on the arguments after "report"; returns the exit status: 0 after
// the page was written, 1 after an error, 2 after a usage error.
int report_command(std::span<const std::string> args, std::FILE* out, std::FILE* err);

// The page's name when none is given: the recording's, with the extension "html".
std::string report_page_name(const std::string& input_name);

}  // namespace kvr
