#include "report_page/page_writer.hpp"

#include "output/safe_output.hpp"
#include "report_page/json_text.hpp"
#include "report_page/page_assets.hpp"
#include "report_page/page_data.hpp"

namespace kvr {

namespace {

std::string html_text(const std::string& text) {
    std::string s;
    for (const char c : text) {
        switch (c) {
        case '<': s += "&lt;"; break;
        case '>': s += "&gt;"; break;
        case '&': s += "&amp;"; break;
        case '"': s += "&quot;"; break;
        default: s += c;
        }
    }
    return s;
}

}  // namespace

std::string report_page_html(const RecordingFacts& facts) {
    std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    page += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    // The script sets the title again from the data, with the same name.
    page += "<title>Tape report: " + html_text(readable_name(facts.input_name)) + "</title>\n";
    page += "<style>\n" + std::string(page_assets::kStyle) + "</style>\n</head>\n<body>\n";
    page += page_assets::kBody;
    page += "<script type=\"application/json\" id=\"tape-data\">" + page_data_json(facts) + "</script>\n";
    page += "<script>\n" + std::string(page_assets::kScript) + "</script>\n</body>\n</html>\n";
    return page;
}

bool write_report_page(const std::string& name, const RecordingFacts& facts, std::string& error) {
    const std::string page = report_page_html(facts);
    OutputFile file;
    if (!file.open(name)) {
        error = "cannot create " + name + ": " + file.reason();
        return false;
    }
    file.write(page.data(), page.size());
    if (!file.finish()) {
        error = "cannot write " + name;
        return false;
    }
    return true;
}

}  // namespace kvr
