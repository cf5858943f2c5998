#include "recovery/run_on.hpp"

#include <span>

#include "loaders/loader.hpp"
#include "recovery/retry.hpp"

namespace kvr {

std::optional<DecodedBlock> without_run_on(const DecodedBlock& block, std::int32_t announced) {
    const LoaderDescriptor* loader = block.loader;
    if (announced < 2 || loader == nullptr || !loader->held_to_announced_length || loader->with_bytes == nullptr)
        return std::nullopt;
    const auto n = static_cast<std::size_t>(announced);
    if (block.data.size() <= n || block.data.size() > n + kMostRunOnBytes || block_checks_out(block)) return std::nullopt;
    DecodedBlock cut = loader->with_bytes(block, std::span(block.data).first(n));
    if (!block_checks_out(cut)) return std::nullopt;
    return cut;
}

}  // namespace kvr
