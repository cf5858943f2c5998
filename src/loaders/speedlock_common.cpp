#include "loaders/speedlock_common.hpp"

#include "analysis/measure.hpp"

namespace kvr {

namespace {

void append_segment(SpeedlockLeader& l, std::int32_t count) {
    // A leader with more segments than the list holds goes on being scanned unrecorded.
    if (l.segment_count < kLeaderSegmentsSize) l.segments[static_cast<std::size_t>(l.segment_count++)] = count;
}

// The leader's end, h being the long HP that ended it.
void end_of_leader(HpCursor& c, PilotResult& p, SpeedlockLeader& l, std::int32_t h, std::int32_t mean) {
    if (l.segment_count >= 4 && l.segments[static_cast<std::size_t>(l.segment_count - 4)] < p.count) {
        --p.count;
        c.pos -= h;
    }
    append_segment(l, p.count);
    l.pulse = to_tstates(mean, c.samples_per_tstate());
    p.found = l.segment_count >= 20;
    if (p.found) l.click_pulses = {715, 715};
}

}  // namespace

PilotResult detect_speedlock_leader(HpCursor& c, const Settings& s, SpeedlockLeader& l) {
    PilotResult p;
    l.click_hps = 2;
    if (!tone_search(c, s.pilot_tolerance_pct, p.start)) return p;
    p.count = 2;
    double sum = static_cast<double>(c.cur) + c.prev;
    double count = 2.0;
    l.segment_count = 0;
    // The running mean spans the whole leader and is never reset between segments.
    std::int32_t m = trunc_i32(sum / count + 0.5);
    for (;;) {
        c.cur = c.prev;
        const std::int32_t h = c.prev = c.measure();
        if (h > m * 1.3) {
            end_of_leader(c, p, l, h, m);
            return p;
        }
        if (h < m * 0.8) {
            // A click: the short HP ends a segment, which must be 180 to 250 HPs long.
            if (p.count < 180 || p.count > 250) return p;
            append_segment(l, p.count);
            c.prev = c.measure();  // the click's second HP, not tested
            if (c.at_end()) return p;
            c.prev = c.measure();  // taken untested as the next segment's first HP
            p.count = 1;
        } else {
            ++p.count;
        }
        sum += c.prev;
        count += 1.0;
        m = trunc_i32(sum / count + 0.5);
        if (c.at_end()) return p;
    }
}

void append_leader(const SpeedlockLeader& l, std::vector<image::Piece>& pieces) {
    const std::size_t clicks = l.click_hps < 0 ? 0 : (l.click_hps > 2 ? 2 : static_cast<std::size_t>(l.click_hps));
    const std::uint16_t click_pulses[2] = {image::field16(l.click_pulses[0]), image::field16(l.click_pulses[1])};
    for (std::int32_t i = 0; i < l.segment_count; ++i) {
        pieces.push_back(image::Piece::pure_tone(l.pulse, l.segments[static_cast<std::size_t>(i)]));
        if (i + 1 < l.segment_count)
            pieces.push_back(image::Piece::pulse_sequence({click_pulses, click_pulses + clicks}));
    }
}

void default_speedlock_skip(Settings& settings) {
    SpeedlockSettings& s = speedlock_settings(settings);
    if (s.type != 0 && s.skip == 0xFFFF) s.skip = (s.type == 1 || s.type == 4) ? 2 : 4;
}

void write_speedlock_data(const DecodedBlock& b, float pause, const Settings&, std::vector<std::uint8_t>& out) {
    image::put_pure_data(out, b.timings.bit0, b.timings.bit1, b.last_byte_bits, image::pause_ms(pause), b.data);
    image::put_group_end(out);
}

}  // namespace kvr
