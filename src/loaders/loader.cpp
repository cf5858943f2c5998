#include "loaders/loader.hpp"

namespace kvr {

std::string field_number(std::int64_t value) { return std::to_string(value); }

void add_length_fields(BlockFields& fields, std::int32_t used_bits, const char* length_name, std::int32_t length,
                       char check) {
    fields.emplace_back("used bits", field_number(used_bits));
    fields.emplace_back(length_name, field_number(length));
    fields.emplace_back("checksum", check == '*' ? "good" : "bad");
}

void finish_block(HpCursor& c, DecodedBlock& block) {
    block.counted = true;
    c.pos -= c.prev + c.cur;
    block.end = c.pos;
}

}  // namespace kvr
