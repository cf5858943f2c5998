// Pilot tones and sync pulses: the standard detector, the two-tone pilot and the
// Speedlock leader with its clicks.
#include "context.hpp"

namespace kvr {

namespace {

bool similar(Context& cx, std::int32_t a, std::int32_t b) {
    return percent_diff(a, b) <= cx.settings.pilot_tolerance_pct;
}

bool at_end(Context& cx) { return cx.work.sample_pos >= cx.samples.sample_count(); }

// Two neighbouring HPs that open a tone. An HP of 0 is the end of the recording, not
// signal, so a pair holding one never opens a tone.
bool opens_tone(Context& cx) {
    const WorkingRecord& w = cx.work;
    return w.cur_hp != 0 && w.prev_hp != 0 && similar(cx, w.cur_hp, w.prev_hp);
}

// Finds the first two neighbouring HPs that are similar; the tone starts with the first.
// False when the recording ends before such a pair.
bool tone_search(Context& cx) {
    WorkingRecord& w = cx.work;
    do {
        w.prev_hp = w.cur_hp;
        w.cur_hp = measure_hp(cx);
    } while (!opens_tone(cx) && !at_end(cx));
    w.pilot_start = saturate(std::int64_t{w.sample_pos} - w.cur_hp - w.prev_hp);
    return opens_tone(cx);
}

// Counts HPs while they stay similar to the reference in cur_hp; the HP that ends the
// tone is counted too and left in prev_hp.
void count_tone(Context& cx, std::int32_t& count, double& sum) {
    WorkingRecord& w = cx.work;
    do {
        w.prev_hp = measure_hp(cx);
        ++count;
        sum += w.prev_hp;
    } while (similar(cx, w.prev_hp, w.cur_hp) && !at_end(cx));
}

}  // namespace

void standard_pilot_detector(Context& cx) {
    WorkingRecord& w = cx.work;
    if (!tone_search(cx)) {
        w.block_found = false;
        return;
    }
    w.pilot_count = 0;
    w.pilot_sum = 0.0;
    w.cur_hp = mean_down(w.cur_hp, w.prev_hp);  // the opening pair is not counted
    count_tone(cx, w.pilot_count, w.pilot_sum);
    --w.pilot_count;
    w.pilot_sum -= w.prev_hp;
    w.block_found = w.pilot_count >= cx.settings.min_pilot_hps;
    if (cx.settings.bleepload && w.block_count < 3 && w.pilot_count < 1000) w.block_found = false;
}

void sync_pair_measurement(Context& cx) {
    WorkingRecord& w = cx.work;
    w.cur_hp = measure_hp(cx);
    w.sync1_pulse = to_tstates(cx, w.prev_hp);
    w.sync2_pulse = to_tstates(cx, w.cur_hp);
}

void first_sync_measurement(Context& cx) { cx.work.sync1_pulse = to_tstates(cx, cx.work.prev_hp); }

void two_tone_pilot_detector(Context& cx) {
    WorkingRecord& w = cx.work;
    if (!tone_search(cx)) {
        w.block_found = false;
        return;
    }
    w.tone1_count = 2;
    w.tone1_sum = static_cast<double>(w.cur_hp) + w.prev_hp;
    w.cur_hp = mean_down(w.cur_hp, w.prev_hp);
    count_tone(cx, w.tone1_count, w.tone1_sum);
    w.tone1_sum -= w.prev_hp;
    --w.tone1_count;
    // The HP that ended the first tone opens the second; the next one sets its reference.
    w.pilot_count = 1;
    w.pilot_sum = w.prev_hp;
    w.cur_hp = measure_hp(cx);
    w.cur_hp = mean_down(w.cur_hp, w.prev_hp);
    count_tone(cx, w.pilot_count, w.pilot_sum);
    w.block_found = w.pilot_count >= cx.settings.min_pilot_hps;
}

namespace {

void append_segment(WorkingRecord& w) {
    // A leader with more segments than the list holds goes on being scanned unrecorded.
    if (w.segment_count < kLeaderSegmentsSize) w.leader_segments[w.segment_count++] = w.pilot_count;
}

// The leader's end, h being the long HP that ended it.
void end_of_leader(Context& cx, std::int32_t h, std::int32_t mean) {
    WorkingRecord& w = cx.work;
    if (w.segment_count >= 4 && w.leader_segments[w.segment_count - 4] < w.pilot_count) {
        --w.pilot_count;
        w.sample_pos -= h;
    }
    append_segment(w);
    w.leader_pulse = to_tstates(cx, mean);
    w.block_found = w.segment_count >= 20;
    if (w.block_found) w.click_pulses = {715, 715};
}

}  // namespace

void speedlock_leader_detector(Context& cx) {
    WorkingRecord& w = cx.work;
    w.click_hps = 2;
    if (!tone_search(cx)) {
        w.block_found = false;
        return;
    }
    w.pilot_count = 2;
    double sum = static_cast<double>(w.cur_hp) + w.prev_hp;
    double count = 2.0;
    w.segment_count = 0;
    // The running mean spans the whole leader and is never reset between segments.
    std::int32_t m = trunc_i32(sum / count + 0.5);
    for (;;) {
        w.cur_hp = w.prev_hp;
        const std::int32_t h = w.prev_hp = measure_hp(cx);
        if (h > m * 1.3) {
            end_of_leader(cx, h, m);
            return;
        }
        if (h < m * 0.8) {
            // A click: the short HP ends a segment, which must be 180 to 250 HPs long.
            if (w.pilot_count < 180 || w.pilot_count > 250) {
                w.block_found = false;
                return;
            }
            append_segment(w);
            w.prev_hp = measure_hp(cx);  // the click's second HP, not tested
            if (at_end(cx)) {
                w.block_found = false;
                return;
            }
            w.prev_hp = measure_hp(cx);  // taken untested as the next segment's first HP
            w.pilot_count = 1;
        } else {
            ++w.pilot_count;
        }
        sum += w.prev_hp;
        count += 1.0;
        m = trunc_i32(sum / count + 0.5);
        if (at_end(cx)) {
            w.block_found = false;
            return;
        }
    }
}

}  // namespace kvr
