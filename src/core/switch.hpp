// A switch of the classic command line: its name, whether a number follows it, and what it
// sets. kvrtool's long options set the settings through the same switches.
#pragma once

#include <cstdint>
#include <span>

#include "core/settings.hpp"

namespace kvr {

struct Switch {
    const char* name;
    bool takes_number;
    void (*apply)(Settings& settings, std::int32_t number);
};

// The switches of the conversion itself; each loader brings its own.
std::span<const Switch> conversion_switches();

}  // namespace kvr
