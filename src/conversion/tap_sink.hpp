// The TAP file: each block's bytes behind a two-byte length, written as soon as the block
// has been decoded (a sub-block as soon as it has been read).
#pragma once

#include <span>
#include <string>

#include "conversion/block_sink.hpp"
#include "loaders/report.hpp"
#include "output/image_writer.hpp"

namespace kvr {

class TapSink final : public BlockSink {
public:
    TapSink(ImageWriter& file, Report& report, const std::string& output_name)
        : file_(file), report_(report), output_name_(output_name) {}

    void subblock(const DecodedBlock& block, std::size_t i) override;
    void take(DecodedBlock&& block) override;
    void release(float) override {}

private:
    // A record of no bytes is not written, and one too long for its length field is left
    // out with a warning that names the block (counted from 1).
    void record(std::span<const std::uint8_t> bytes, std::int32_t block_number);

    ImageWriter& file_;
    Report& report_;
    const std::string& output_name_;
};

}  // namespace kvr
