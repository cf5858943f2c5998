// The conversion driver: one pass per pilot found, each block written one step late.
#include "context.hpp"

namespace kvr {

namespace {

struct Row {
    void (*pilot_analyser)(Context&);
    void (*after_pilot)(Context&);
    void (*decoder)(Context&);
};

void skip_1(Context& cx) { skip_hps(cx, 1); }
void skip_13(Context& cx) { skip_hps(cx, 13); }
void skip_27(Context& cx) { skip_hps(cx, 27); }

const Row kDigitalIntegration{two_tone_pilot_detector, first_sync_measurement, digital_integration_decoder};
const Row kStandard{standard_pilot_detector, sync_pair_measurement, standard_block_decoder};
const Row kSpeedlock1{speedlock_leader_detector, skip_1, speedlock1_decoder};
const Row kSpeedlock2{speedlock_leader_detector, skip_13, speedlock_decoder};
const Row kSpeedlock34{standard_pilot_detector, skip_27, speedlock_decoder};

const Row& dispatch(const Context& cx) {
    const std::int32_t k = cx.work.block_count;
    if (k < cx.settings.speedlock_skip) {
        return (cx.settings.di_loader && (k == 2 || k == 3)) ? kDigitalIntegration : kStandard;
    }
    switch (cx.settings.speedlock_type) {
    case 1: return kSpeedlock1;
    case 2: return kSpeedlock2;
    case 3:
    case 4: return kSpeedlock34;
    default: return kStandard;
    }
}

// Ends the waiting block at the pilot just found: its pause line, and its image block.
void close_waiting_block(Context& cx) {
    WorkingRecord& w = cx.work;
    const Settings& s = cx.settings;
    const std::int32_t k = w.block_count;
    w.pause_seconds = static_cast<float>((static_cast<double>(w.pilot_start) - w.last_block_end) /
                                         cx.samples.sample_rate);
    if (s.speedlock_type == 3 && s.speedlock_variant == 2 && k == s.speedlock_skip) w.pause_seconds = 0.0f;
    if (w.pause_seconds < 0.0f) w.pause_seconds = 0.0f;
    if (k != 0) cx.console.print("P-%1.3f\n", static_cast<double>(w.pause_seconds));
    if (!s.tap_output && k != 0) write_pending_block(cx);
}

void conversion_pass(Context& cx) {
    WorkingRecord& w = cx.work;
    const Row& row = dispatch(cx);
    row.pilot_analyser(cx);
    if (!w.block_found) return;
    if (!w.no_block_pending) close_waiting_block(cx);
    row.after_pilot(cx);
    row.decoder(cx);
    if (!w.no_block_pending) {
        if (cx.settings.tap_output) write_tap_record(cx);
        w.pending_pilot_count = w.pilot_count;
        w.pending_tone1_count = w.tone1_count;
        w.pending_tone1_sum = w.tone1_sum;
    }
}

void default_speedlock_skip(Settings& s) {
    if (s.speedlock_type != 0 && s.speedlock_skip == 0xFFFF)
        s.speedlock_skip = (s.speedlock_type == 1 || s.speedlock_type == 4) ? 2 : 4;
}

}  // namespace

bool run_conversion(Context& cx) {
    WorkingRecord& w = cx.work;
    Settings& s = cx.settings;
    if (!cx.image.is_open() && !cx.image.open_file(s.output_name)) {
        report_error(cx.console, "Cannot create output file " + s.output_name + " !");
        return false;
    }
    if (!s.tap_output) write_header(cx);
    w.samples_per_tstate = cx.samples.sample_rate * 2.857142857142857e-7;
    if (s.tap_output) {
        cx.console.print("Creating .TAP file ...\n\n");
    } else {
        cx.console.print("Creating 1.02 version ");
        cx.console.print(".KVR file ... \n\n");
    }
    w.no_block_pending = true;
    default_speedlock_skip(s);

    const std::int32_t count = cx.samples.sample_count();
    while (w.sample_pos < count) {
        const std::int32_t before = w.sample_pos;
        conversion_pass(cx);
        // Every pass consumes signal; should one ever give back more than it read, step on
        // by a sample rather than read the same stretch for ever.
        if (w.sample_pos <= before) w.sample_pos = before + 1;
    }

    if (w.block_count == 0) {
        cx.console.print("-- Error: No blocks found... please consult the documentation!\n");
        // Nothing to keep: no output file is left, and one of that name stays as it was.
        cx.image.abandon();
        return true;
    }
    if (!s.tap_output && !w.no_block_pending) {
        w.pause_seconds = 0.0f;
        write_pending_block(cx);
    }
    cx.console.print("\n");
    if (!cx.image.finish()) {
        report_error(cx.console, "Cannot write output file " + s.output_name + " !");
        return false;
    }
    return true;
}

}  // namespace kvr
