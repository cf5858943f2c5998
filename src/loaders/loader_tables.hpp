// Tables and counters of the custom loaders, and their decoders.
#pragma once

#include <array>
#include <cstdint>

namespace kvr {

struct Context;

struct LoaderTables {
    // Two sync pulses and six flag pairs of a Speedlock type 1 or 2 block, in T-states.
    std::array<std::uint16_t, 14> sync14_pulses{3150, 3150, 1130, 1130, 1130, 1130, 1130,
                                                1130, 565,  565,  1130, 1130, 565,  565};
    // Sync, fixed pattern and six flag pairs of a Speedlock type 3 or 4 block.
    std::array<std::uint16_t, 28> sync28_pulses{667,  735,  714,  714,  1428, 1428, 2144,
                                                2144, 2144, 2144, 2144, 2144, 1428, 1428,
                                                714,  714,  0,    0,    0,    0,    0,
                                                0,    0,    0,    0,    0,    0,    0};
    std::int32_t subblock_number = 1;
};

void speedlock1_decoder(Context& cx);
void speedlock_decoder(Context& cx);
int subblock_reader(Context& cx);
void digital_integration_decoder(Context& cx);

}  // namespace kvr
