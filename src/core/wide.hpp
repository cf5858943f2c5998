// Whether the processor's wide instructions (eight floats at a time) may be used: checked
// once when the program runs. Every loop that has a wide form asks here, so that tests can
// switch them all off and hold the plain loops to the same results on any processor.
#pragma once

namespace kvr::wide {

// True when the processor has the instructions and they are not switched off.
bool available();
// Switches the wide loops off (false) or back on.
void use(bool on);

}  // namespace kvr::wide
