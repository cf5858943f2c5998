#include "loaders/loader.hpp"

namespace kvr {

void finish_block(HpCursor& c, DecodedBlock& block) {
    block.counted = true;
    c.pos -= c.prev + c.cur;
    block.end = c.pos;
}

}  // namespace kvr
