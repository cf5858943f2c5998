// Every sample reader on arbitrary bytes, keeping every sample and keeping only the edges:
// the two must tell the same recording.
#include "input/edge_builder.hpp"
#include "input/readers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kvr::Bytes file(data, size);
    // A tiny file may describe a huge recording; keep the fuzzer's memory small.
    constexpr std::int64_t kLimit = 1 << 22;
    for (auto reader : {kvr::read_voc, kvr::read_wav, kvr::read_csw, kvr::read_sound_file}) {
        kvr::SampleInfo info, edge_info;
        kvr::SampleVector samples;
        kvr::SampleCollector collect(samples);
        const kvr::LoadResult r = reader(file, info, collect, kLimit, nullptr);
        if (r == kvr::LOAD_OK && samples.size() != static_cast<std::size_t>(info.length)) __builtin_trap();
        if (r != kvr::LOAD_OK && !samples.empty()) __builtin_trap();

        kvr::Recording recording, expected;
        kvr::EdgeBuilder edges(recording);
        if (reader(file, edge_info, edges, kLimit, nullptr) != r) __builtin_trap();
        kvr::EdgeBuilder from_samples(expected);
        if (!from_samples.samples(samples.data(), samples.size())) __builtin_trap();
        if (recording.count != expected.count || recording.edges != expected.edges) __builtin_trap();
        if (recording.count > 0 && recording.first_low != expected.first_low) __builtin_trap();
    }
    return 0;
}
