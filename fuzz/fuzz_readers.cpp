// Every sample reader on arbitrary bytes.
#include "input/sample_buffer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kvr::Bytes file(data, size);
    // A tiny file may describe a huge recording; keep the fuzzer's memory small.
    constexpr std::int64_t kLimit = 1 << 22;
    for (auto reader : {kvr::read_voc, kvr::read_wav, kvr::read_csw, kvr::read_sound_file}) {
        kvr::SampleInfo info;
        kvr::SampleVector samples;
        const kvr::LoadResult r = reader(file, info, samples, kLimit, nullptr);
        if (r == kvr::LOAD_OK && samples.size() != static_cast<std::size_t>(info.length)) __builtin_trap();
        if (r != kvr::LOAD_OK && !samples.empty()) __builtin_trap();
    }
    return 0;
}
