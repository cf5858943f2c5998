#include "report_page/page_data.hpp"

#include <algorithm>
#include <cmath>

#include "loaders/registry.hpp"
#include "report_page/json_text.hpp"

namespace kvr {

namespace {

std::string integer(std::int64_t v) { return std::to_string(v); }
// Levels of full scale 1 as thousandths: enough for a drawing, a third of the text.
std::string thousandths(float v) { return integer(std::lround(std::clamp(v, -4.0f, 4.0f) * 1000.0f)); }
std::string tstates(double v) { return json_number(v, 1); }

std::string pairs(const std::vector<std::pair<std::string, std::string>>& items) {
    return json_array(items, [](const auto& p) { return json_tuple({json_string(p.first), json_string(p.second)}); });
}

std::string marks(const std::vector<Mark>& items) {
    return json_array(items, [](const Mark& m) { return json_tuple({json_string(m.label), tstates(m.tstates)}); });
}

std::string levels(const std::vector<std::vector<float>>& channels) {
    return json_array(channels, [](const std::vector<float>& c) { return json_array(c, thousandths); });
}

std::string wave_json(const WaveWindow& w) {
    std::string s = "{\"first\":" + integer(w.first) + ",\"count\":" + integer(w.count) + ",\"step\":" + integer(w.step);
    s += ",\"level0\":" + integer(w.first_level);
    s += ",\"edges\":" + json_array(w.edges, [](std::int32_t e) { return integer(e); });
    s += ",\"low\":" + levels(w.low);
    // Points of one sample each have no range: the high is the low.
    if (w.step > 1) s += ",\"high\":" + levels(w.high);
    return s + "}";
}

std::string suspect_json(const SuspectBit& b) {
    std::string s = "{\"found\":" + std::string(b.found ? "true" : "false") + ",\"bit\":" + integer(b.bit);
    s += ",\"start\":" + integer(b.start) + ",\"end\":" + integer(b.end);
    s += ",\"firstHp\":" + integer(b.first_hp) + ",\"secondHp\":" + integer(b.second_hp);
    s += ",\"why\":" + json_string(b.why) + ",\"wave\":" + (b.wave.count > 0 ? wave_json(b.wave) : "null");
    return s + "}";
}

std::string weakest_json(const WeakBits& w) {
    if (w.bits.empty()) return "null";
    auto yes = [](bool v) { return std::string(v ? "true" : "false"); };
    std::string s = "{\"ofFailingReading\":" + yes(w.of_failing_reading) + ",\"bits\":";
    s += json_array(w.bits, [&yes](const WeakBit& b) {
        return "{\"bit\":" + integer(b.bit) + ",\"value\":" + integer(b.value ? 1 : 0) +
               ",\"confidence\":" + json_number(static_cast<double>(b.confidence), 2) + ",\"changed\":" + yes(b.changed) +
               ",\"differs\":" + yes(b.differs) + "}";
    });
    return s + "}";
}

std::string histogram_json(const HpHistogram& h) {
    std::string s = "{\"bin\":" + json_number(h.bin_tstates, 4);
    s += ",\"counts\":" + json_array(h.counts, [](std::int32_t c) { return integer(c); });
    s += ",\"longer\":" + integer(h.longer) + ",\"peaks\":" + json_array(h.peaks, tstates);
    return s + "}";
}

std::string block_json(const BlockFacts& b) {
    std::string s = "{\"index\":" + integer(b.index) + ",\"loader\":" + json_string(b.loader);
    s += ",\"kind\":" + json_string(b.kind);
    s += ",\"pilotStart\":" + integer(b.pilot_start) + ",\"dataStart\":" + integer(b.data_start) + ",\"end\":" + integer(b.end);
    s += ",\"line\":" + json_string(b.line);
    s += ",\"notes\":" + json_array(b.notes, [](const std::string& n) { return json_string(n); });
    // The pause as the report prints it.
    s += ",\"pause\":" + (b.pause ? json_number(static_cast<double>(*b.pause), 3) : std::string("null"));
    s += ",\"ok\":" + std::string(b.checks_out ? "true" : "false") + ",\"retried\":" + (b.retried ? "true" : "false");
    s += ",\"recoveredWith\":" + json_string(b.recovered_with);
    s += ",\"fields\":" + pairs(b.fields);
    s += ",\"parts\":" + json_array(b.parts, [](const BlockPart& p) { return json_tuple({json_string(p.what), json_string(p.detail)}); });
    s += ",\"timings\":" + marks(b.timings) + ",\"thresholds\":" + marks(b.thresholds);
    s += ",\"hist\":" + histogram_json(b.histogram);
    s += ",\"suspect\":" + (b.suspect ? suspect_json(*b.suspect) : std::string("null"));
    s += ",\"weakest\":" + weakest_json(b.weakest);
    s += ",\"source\":" + (b.source ? "{\"recording\":" + json_string(readable_name(b.source->recording)) +
                                           ",\"seconds\":" + json_number(b.source->seconds, 3) +
                                           ",\"how\":" + json_string(readable_name(b.source->how)) + "}"
                                     : std::string("null"));
    return s + "}";
}

std::string envelope_json(const ChannelEnvelope& e) {
    auto amplitude = [](float v) { return json_number(v, 3); };
    return "{\"high\":" + json_array(e.high, amplitude) + ",\"low\":" + json_array(e.low, amplitude) +
           ",\"baseline\":" + json_array(e.baseline, amplitude) + "}";
}

// Every kind of block any loader gives, with its legend and colour.
std::string kinds_json() {
    std::vector<const BlockKind*> kinds;
    for (const LoaderDescriptor* loader : all_loaders())
        for (const BlockKind& k : loader->kinds) kinds.push_back(&k);
    return json_array(kinds, [](const BlockKind* k) {
        return json_tuple({json_string(std::string(k->name)), json_string(std::string(k->label)),
                           json_string(std::string(k->colour))});
    });
}

std::string share(double v) { return v < 0.0 ? "null" : json_number(v, 4); }

}  // namespace

std::string page_data_json(const RecordingFacts& f) {
    std::string s = "{\"input\":" + json_string(readable_name(f.input_name)) + ",\"rate\":" + integer(f.rate);
    s += ",\"samples\":" + integer(f.samples) + ",\"levelsFrom\":" + json_string(f.levels_from);
    s += ",\"summary\":" + json_string(f.summary) + ",\"kinds\":" + kinds_json();
    s += ",\"channels\":" + json_array(f.channels, [](const RecordingFacts::Channel& c) {
             return "{\"used\":" + share(c.used) + ",\"inverted\":" + share(c.inverted) + "}";
         });
    s += ",\"mergedFrom\":" + json_array(f.merged_from, [](const std::string& n) { return json_string(readable_name(n)); });
    s += ",\"bucketSeconds\":" + json_number(f.bucket_seconds, 6);
    s += ",\"envelope\":" + json_array(f.envelope, envelope_json);
    s += ",\"unrecognised\":" + json_array(f.unrecognised, [](const Stretch& t) {
             return json_tuple({integer(t.start), integer(t.end)});
         });
    s += ",\"kept\":" + json_array(f.kept, [](const KeptFacts& k) {
             return json_tuple({integer(k.start), integer(k.end), integer(k.pulses)});
         });
    s += ",\"blocks\":[";
    for (std::size_t i = 0; i < f.blocks.size(); ++i) {
        s += i ? ",\n" : "\n";
        s += block_json(f.blocks[i]);
    }
    return s + "\n]}";
}

}  // namespace kvr
