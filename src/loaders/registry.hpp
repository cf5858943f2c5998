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
// The switch of that name, of the conversion or of any loader, or nullptr.
const Switch* find_switch(std::string_view name);
// kvrtool's name for a loader and the loader it chooses, or nullptr.
const LoaderChoice* find_loader_choice(std::string_view name);
// Every name --loader takes, the default (the one that needs no switch) first, ":V" after
// those that take a variant.
std::vector<std::string> loader_choice_names();

// Applies the loader switch of that name, as the command line would; false when there is none.
bool apply_loader_switch(Settings& settings, std::string_view name, std::int32_t number = 0);

class LoaderSet {
public:
    // Fills in the loaders' defaults and gives each a fresh state.
    explicit LoaderSet(Settings& settings);

    const Settings& settings() const { return settings_; }

    struct Choice {
        const LoaderDescriptor* loader = nullptr;
        LoaderState* state = nullptr;
    };
    // The loader that reads the block with this index, and its state. The settings do not
    // change during a conversion, so the choice for an index is made once: a search asks
    // it for every tone, and most tones are not blocks.
    Choice serving(std::int32_t index) {
        if (chosen_.loader == nullptr || index != chosen_index_) choose(index);
        return chosen_;
    }
    // Lets every loader see the waiting block before it goes into an image.
    void before_image_write(DecodedBlock& waiting);

private:
    void choose(std::int32_t index);

    const Settings& settings_;
    std::vector<std::unique_ptr<LoaderState>> states_;
    std::int32_t chosen_index_ = 0;
    Choice chosen_;
};

}  // namespace kvr
