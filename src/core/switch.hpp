// A command-line switch: its name, whether a number follows it, and what it sets.
#pragma once

#include <cstdint>

#include "core/settings.hpp"

namespace kvr {

struct Switch {
    const char* name;
    bool takes_number;
    void (*apply)(Settings& settings, std::int32_t number);
};

}  // namespace kvr
