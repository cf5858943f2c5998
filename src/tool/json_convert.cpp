#include "tool/json_convert.hpp"

#include "report_page/json_text.hpp"

namespace kvr {

namespace {

std::string or_null(bool present, const std::string& json) { return present ? json : "null"; }

std::string text_or_null(const std::string& text) { return or_null(!text.empty(), json_string(text)); }

const char* verdict_name(BlockVerdict v) {
    switch (v) {
    case BlockVerdict::good: return "good";
    case BlockVerdict::bad: return "bad";
    case BlockVerdict::noise: return "noise";
    }
    return "bad";
}

std::string fields_json(const BlockFields& fields) {
    std::string s = "{";
    for (const auto& [name, value] : fields) {
        if (s.size() > 1) s += ',';
        s += json_string(name);
        s += ':';
        s += json_string(value);
    }
    return s + "}";
}

std::string block_json(const BlockEntry& b) {
    std::string s = "{\"number\":" + std::to_string(b.number);
    s += ",\"start\":" + json_number(b.start, 3) + ",\"end\":" + json_number(b.end, 3);
    s += ",\"pause\":" + or_null(b.pause.has_value(), json_number(b.pause.value_or(0.0), 3));
    s += ",\"loader\":" + json_string(b.loader) + ",\"kind\":" + json_string(b.kind);
    s += ",\"header\":" + or_null(!b.header_type.empty(), "{\"type\":" + json_string(b.header_type) +
                                                             ",\"name\":" + json_string(b.header_name) + "}");
    s += ",\"flag\":" + std::to_string(b.flag) + ",\"length\":" + std::to_string(b.length);
    s += ",\"used_bits\":" + std::to_string(b.used_bits);
    s += ",\"announced\":" + or_null(b.announced >= 0, std::to_string(b.announced));
    s += ",\"announced_by\":" + or_null(b.announced >= 0, json_string(b.announced_by));
    s += ",\"checksum\":" + std::string(b.checks_out ? "\"good\"" : "\"bad\"");
    s += ",\"verdict\":\"" + std::string(verdict_name(b.verdict)) + "\"";
    s += ",\"retried\":" + std::string(b.retried ? "true" : "false");
    s += ",\"recovered_with\":" + text_or_null(b.recovered_with);
    s += ",\"confidence\":" + or_null(b.confidence.has_value(), json_number(b.confidence.value_or(0.0f), 2));
    return s + ",\"fields\":" + fields_json(b.fields) + "}";
}

}  // namespace

std::string totals_json(const TapeTotals& t) {
    const double share = t.seconds > 0.0 ? t.seconds_in_blocks / t.seconds : 0.0;
    return "{\"blocks\":" + std::to_string(t.blocks) + ",\"good\":" + std::to_string(t.good) +
           ",\"recovered\":" + std::to_string(t.recovered) + ",\"still_bad\":" + std::to_string(t.bad) +
           ",\"probable_noise\":" + std::to_string(t.noise) + ",\"cut_short\":" + (t.cut_short ? "true" : "false") +
           ",\"seconds\":" + json_number(t.seconds, 3) + ",\"seconds_in_blocks\":" + json_number(t.seconds_in_blocks, 3) +
           ",\"share_in_blocks\":" + json_number(share, 4) + "}";
}

std::string recording_json(const ConvertedRecording& r) {
    std::string s = "{\"input\":" + json_string(r.input) + ",\"output\":" + json_string(r.output);
    s += ",\"format\":" + std::string(r.tap ? "\"tap\"" : "\"kvr\"") + ",\"status\":" + std::to_string(r.status);
    s += ",\"converted\":" + std::string(r.converted ? "true" : "false") + ",\n \"blocks\":[";
    const bool any = r.summary != nullptr && r.converted;
    if (any) {
        const std::vector<BlockEntry>& blocks = r.summary->blocks();
        for (std::size_t i = 0; i < blocks.size(); ++i) s += (i == 0 ? "\n  " : ",\n  ") + block_json(blocks[i]);
    }
    s += "],\n \"summary\":" + (any ? totals_json(r.summary->totals()) : std::string("null"));
    return s + "}";
}

std::string recordings_json(const std::vector<std::string>& objects, const TapeTotals& totals, int not_converted) {
    std::string s = "{\"recordings\":[";
    for (std::size_t i = 0; i < objects.size(); ++i) s += (i == 0 ? "\n" : ",\n") + objects[i];
    s += "],\n\"total\":{\"recordings\":" + std::to_string(objects.size()) +
         ",\"not_converted\":" + std::to_string(not_converted) + ",\"summary\":" + totals_json(totals) + "}}";
    return s;
}

}  // namespace kvr
