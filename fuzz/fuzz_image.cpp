// Parsing, listing and playing arbitrary images.
#include "playback/list.hpp"
#include "playback/render.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> file(data, size);
    for (bool tap : {false, true}) {
        kvr::TapeImage image;
        std::string error;
        if (!kvr::parse_tape_image(file, tap, image, error)) continue;
        kvr::list_tape_image(image);
        double total = 0.0;
        for (const auto& b : image.blocks) total += kvr::block_tstates(b);
        if (total > 3500000.0 * 600) continue;  // keep each run short
        kvr::RenderOptions options;
        options.rate = 8000;
        options.noise = 0.1;
        options.jitter_pct = 5;
        options.format = static_cast<kvr::SampleFormat>(size % 11);
        kvr::MemorySink sink;
        kvr::render_tape_image(image, options, sink, error);
    }
    return 0;
}
