// The pilot of the ROM scheme, which the Speedlock types 3 and 4 open their blocks with too.
#pragma once

#include "loaders/loader.hpp"

namespace kvr {

// Whether BleepLoad's switch was given.
bool bleepload(const Settings& s);

// The standard pilot detector; with "/bleep" the first three blocks need 1000 HPs.
PilotResult find_rom_pilot(HpCursor& c, const Settings& s, std::int32_t index);

}  // namespace kvr
