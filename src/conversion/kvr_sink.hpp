// The KVR image. A block goes in one step late: what its decoder puts in front of its data
// at once, the data itself when the next pilot (or the end) tells the pause after it.
#pragma once

#include <optional>
#include <vector>

#include "conversion/block_sink.hpp"
#include "loaders/registry.hpp"
#include "output/image_writer.hpp"

namespace kvr {

class KvrSink final : public BlockSink {
public:
    KvrSink(ImageWriter& image, LoaderSet& loaders) : image_(image), loaders_(loaders) {}

    void start() override;
    void lead_in(const DecodedBlock& block) override;
    void subblock(const DecodedBlock& block, std::size_t i) override;
    void take(DecodedBlock&& block) override;
    void release(float pause) override;
    void kept(const image::Piece& piece) override;
    void kept_group_end() override;

private:
    void flush();

    ImageWriter& image_;
    LoaderSet& loaders_;
    std::vector<std::uint8_t> bytes_;  // the blocks of one step, put into the image at once
    std::optional<DecodedBlock> waiting_;
};

}  // namespace kvr
