// What a file that no reader takes is instead, so that the error names it: a tape image
// given where a recording belongs, a text file, or bytes of no known kind.
#pragma once

#include "core/errors.hpp"
#include "input/sample_sink.hpp"

namespace kvr {

// input_is_kvr_image, input_is_tap_file, input_is_text or input_not_sound.
Error what_the_file_is(Bytes file);

}  // namespace kvr
