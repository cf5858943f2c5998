// Runs a fuzz target without libFuzzer: on the files (or the files of the folders) named,
// or on a fixed series of mutations of the files in a seed folder. Files are taken in the
// order of their names, whatever order the file system lists them in, so that the series of
// mutations, made from one fixed seed, is the same on every machine.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::uint8_t> read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The regular files of a folder, by name.
std::vector<std::filesystem::path> files_of(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

void mutate(std::vector<std::uint8_t>& v, std::mt19937& rng) {
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < edits && !v.empty(); ++i) {
        const std::size_t at = rng() % v.size();
        switch (rng() % 4) {
        case 0: v[at] = static_cast<std::uint8_t>(rng()); break;
        case 1: v[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8)); break;
        case 2: v.resize(at + 1); break;
        default: v.insert(v.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(rng())); break;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--seed-dir") == 0) {
        std::vector<std::vector<std::uint8_t>> seeds;
        for (const auto& f : files_of(argv[2])) seeds.push_back(read_file(f));
        seeds.push_back({});
        std::mt19937 rng(12345);
        int runs = 0;
        for (const auto& seed : seeds) {
            LLVMFuzzerTestOneInput(seed.data(), seed.size());
            for (int i = 0; i < 150; ++i, ++runs) {
                std::vector<std::uint8_t> v = seed;
                if (v.empty()) {
                    // One draw a statement: the order in which arguments are worked out is the
                    // compiler's, and GCC and clang would make different series.
                    const std::size_t length = 1 + rng() % 64;
                    v.resize(length, static_cast<std::uint8_t>(rng()));
                }
                mutate(v, rng);
                LLVMFuzzerTestOneInput(v.data(), v.size());
            }
        }
        std::printf("%d mutated inputs: 0 crashes\n", runs);
        return 0;
    }
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path named(argv[i]);
        const std::vector<std::filesystem::path> files =
            std::filesystem::is_directory(named) ? files_of(named) : std::vector<std::filesystem::path>{named};
        for (const auto& f : files) {
            const std::vector<std::uint8_t> v = read_file(f);
            LLVMFuzzerTestOneInput(v.data(), v.size());
            ++replayed;
        }
    }
    std::printf("%d inputs replayed: 0 crashes\n", replayed);
    return 0;
}
