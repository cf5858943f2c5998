// Completes the facts of a converted recording for the page: the details of every block,
// the envelope of every channel and the stretches that went unrecognised.
#pragma once

#include "core/settings.hpp"
#include "frontend/frame_source.hpp"
#include "frontend/front_end.hpp"
#include "report_page/tape_facts.hpp"

namespace kvr {

// How the levels the analysis read were made.
enum class LevelsFrom { front_end, pulses, classic };

// `facts` holds the blocks as the conversion reported them; `levels` are what it read.
// `front_end` is the front end's summary when it ran.
void complete_recording_facts(RecordingFacts& facts, const FrameSource& frames, const Recording& levels,
                              std::int32_t rate, const Settings& s, LevelsFrom from, const FrontEndSummary* front_end);

}  // namespace kvr
