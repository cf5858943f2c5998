#include "loaders/read_block.hpp"

#include "analysis/bits.hpp"

namespace kvr {

BlockReading read_block(const LoaderDescriptor& loader, const EdgeView& edges, const ReadStart& start,
                        const Settings& settings, LoaderState& state, std::span<std::uint8_t> buffer,
                        std::int32_t search_until) {
    const std::int32_t origin = edges.origin();
    const CursorState at{start.at.pos - origin, start.at.cur, start.at.prev, start.at.edge};
    HpCursor c(edges, at);
    BlockReading r;
    const std::int32_t until = search_until == INT32_MIN ? INT32_MIN : search_until - origin;
    do {
        const std::int32_t before = c.pos;
        r.pilot = loader.find_pilot(c, settings, start.index, state);
        if (r.pilot.found) break;
        // A search that gives back more than it read steps on by a sample.
        if (c.pos <= before) c.pos = before + 1;
    } while (c.pos < until && !c.at_end());
    if (r.pilot.found) {
        loader.after_pilot(c, settings, r.pilot);
        r.data_start = c.pos + origin;
        r.block = loader.decode(c, settings, r.pilot, {start.index, start.last_block_end - origin, buffer.data()}, state);
        r.block.loader = &loader;
        r.block.end += origin;
        r.pilot.start += origin;
    }
    r.next = c.state();
    r.next.pos += origin;
    return r;
}

}  // namespace kvr
