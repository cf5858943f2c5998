// The report page: one self-contained HTML file (inline SVG, CSS and script; nothing
// fetched) of a recording and its blocks.
#pragma once

#include <string>

#include "report_page/tape_facts.hpp"

namespace kvr {

std::string report_page_html(const RecordingFacts& facts);

// Writes the page as every output is written: a failed run leaves no partial file and
// never destroys an existing one. False with a message on failure.
bool write_report_page(const std::string& name, const RecordingFacts& facts, std::string& error);

}  // namespace kvr
