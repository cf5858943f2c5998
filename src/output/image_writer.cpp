#include "output/image_writer.hpp"

namespace kvr {

bool ImageWriter::open_file(const std::string& name) {
    in_memory_ = false;
    return file_.open(name);
}

void ImageWriter::open_memory() {
    file_.abandon();
    in_memory_ = true;
    memory_.clear();
}

void ImageWriter::put(const void* bytes, std::size_t n) {
    if (!in_memory_) {
        file_.write(bytes, n);
        return;
    }
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    memory_.insert(memory_.end(), p, p + n);
}

bool ImageWriter::finish() { return in_memory_ || file_.finish(); }

void ImageWriter::abandon() {
    memory_.clear();
    file_.abandon();
}

}  // namespace kvr
