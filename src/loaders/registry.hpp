// The loaders of a conversion, asked in the order of the list, with the state each keeps.
#pragma once

#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "loaders/loader.hpp"

namespace kvr {

std::span<const LoaderDescriptor* const> all_loaders();
const LoaderDescriptor* loader_named(std::string_view name);
// The switch of that name of any loader, or nullptr.
const Switch* find_loader_switch(std::string_view name);

class LoaderSet {
public:
    // Fills in the loaders' defaults and gives each a fresh state.
    explicit LoaderSet(Settings& settings);

    const Settings& settings() const { return settings_; }
    // The loader that reads the block with this index.
    const LoaderDescriptor& serving(std::int32_t index) const;
    LoaderState& state(const LoaderDescriptor& loader);
    // Lets every loader see the waiting block before it goes into an image.
    void before_image_write(DecodedBlock& waiting);

private:
    const Settings& settings_;
    std::vector<std::unique_ptr<LoaderState>> states_;
};

}  // namespace kvr
