#include "loaders/registry.hpp"

#include <string>

#include "loaders/loader_list.hpp"

namespace kvr {

#define KELVARIN_DECLARE_LOADER(name) extern const LoaderDescriptor name##_loader;
KELVARIN_LOADERS(KELVARIN_DECLARE_LOADER)
#undef KELVARIN_DECLARE_LOADER

namespace {

#define KELVARIN_LIST_LOADER(name) &name##_loader,
const LoaderDescriptor* const kLoaders[] = {KELVARIN_LOADERS(KELVARIN_LIST_LOADER)};
#undef KELVARIN_LIST_LOADER

}  // namespace

std::span<const LoaderDescriptor* const> all_loaders() { return kLoaders; }

const LoaderDescriptor* loader_named(std::string_view name) {
    for (const LoaderDescriptor* loader : kLoaders)
        if (loader->name == name) return loader;
    return nullptr;
}

const Switch* find_loader_switch(std::string_view name) {
    for (const LoaderDescriptor* loader : kLoaders)
        for (const Switch& s : loader->switches)
            if (name == s.name) return &s;
    return nullptr;
}

const Switch* find_switch(std::string_view name) {
    for (const Switch& s : conversion_switches())
        if (name == s.name) return &s;
    return find_loader_switch(name);
}

const LoaderChoice* find_loader_choice(std::string_view name) {
    for (const LoaderDescriptor* loader : kLoaders)
        for (const LoaderChoice& c : loader->choices)
            if (c.name == name) return &c;
    return nullptr;
}

std::vector<std::string> loader_choice_names() {
    std::vector<std::string> names;
    for (int pass = 0; pass < 2; ++pass) {
        for (const LoaderDescriptor* loader : kLoaders) {
            // The default loader, listed last, comes first.
            if ((loader == kLoaders[std::size(kLoaders) - 1]) != (pass == 0)) continue;
            for (const LoaderChoice& c : loader->choices)
                names.push_back(std::string(c.name) + (c.most_variant >= 0 ? ":V" : ""));
        }
    }
    return names;
}

bool apply_loader_switch(Settings& settings, std::string_view name, std::int32_t number) {
    const Switch* s = find_loader_switch(name);
    if (s != nullptr) s->apply(settings, number);
    return s != nullptr;
}

LoaderSet::LoaderSet(Settings& settings) : settings_(settings) {
    for (const LoaderDescriptor* loader : kLoaders) {
        if (loader->prepare != nullptr) loader->prepare(settings);
        states_.push_back(loader->make_state());
    }
}

void LoaderSet::choose(std::int32_t index) {
    std::size_t i = 0;
    while (i + 1 < std::size(kLoaders) && !kLoaders[i]->serves(settings_, index)) ++i;
    chosen_index_ = index;
    chosen_ = {kLoaders[i], states_[i].get()};
}

void LoaderSet::before_image_write(DecodedBlock& waiting) {
    for (std::size_t i = 0; i < std::size(kLoaders); ++i)
        if (kLoaders[i]->before_image_write != nullptr)
            kLoaders[i]->before_image_write(waiting, settings_, *states_[i]);
}

}  // namespace kvr
