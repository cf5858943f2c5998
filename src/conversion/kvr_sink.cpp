#include "conversion/kvr_sink.hpp"

namespace kvr {

void KvrSink::flush() {
    if (!bytes_.empty()) image_.put(bytes_.data(), bytes_.size());
    bytes_.clear();
}

void KvrSink::start() {
    image::put_header(bytes_);
    flush();
}

void KvrSink::lead_in(const DecodedBlock& block) {
    for (const image::Piece& piece : block.lead_in) image::put_piece(bytes_, piece);
    flush();
}

void KvrSink::subblock(const DecodedBlock& block, std::size_t i) {
    const SubBlock& s = block.subblocks[i];
    const std::span<const std::uint8_t> data(block.subblock_bytes.data() + s.offset, static_cast<std::size_t>(s.length));
    image::put_pure_data(bytes_, block.timings.bit0, block.timings.bit1, s.used_bits, 0, data);
    image::put_trailer(bytes_);
    flush();
}

void KvrSink::kept(const image::Piece& piece) {
    image::put_piece(bytes_, piece);
    flush();
}

void KvrSink::kept_group_end() {
    image::put_group_end(bytes_);
    flush();
}

void KvrSink::take(DecodedBlock&& block) { waiting_ = std::move(block); }

void KvrSink::release(float pause) {
    if (!waiting_) return;
    loaders_.before_image_write(*waiting_);
    waiting_->loader->write_image(*waiting_, pause, loaders_.settings(), bytes_);
    flush();
    waiting_.reset();
}

}  // namespace kvr
