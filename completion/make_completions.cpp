// Writes a bash completion script from its template, with the names that the loaders'
// registry and the conversion's switches give: every switch of kelvarin, those that take a
// number, and the names kvrtool's --loader takes.
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "core/switch.hpp"
#include "loaders/registry.hpp"

namespace {

void replace(std::string& text, const std::string& mark, const std::string& with) {
    for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + with.size()))
        text.replace(at, mark.size(), with);
}

// Every switch, or those that take a number, joined by `separator`.
std::string switches(bool numbers_only, const char* separator) {
    std::string out;
    auto add = [&](const kvr::Switch& s) {
        if (numbers_only && !s.takes_number) return;
        out += (out.empty() ? "" : separator) + std::string(s.name);
    };
    for (const kvr::Switch& s : kvr::conversion_switches()) add(s);
    for (const kvr::LoaderDescriptor* loader : kvr::all_loaders())
        for (const kvr::Switch& s : loader->switches) add(s);
    return out;
}

std::string loader_names() {
    std::string out;
    for (std::string name : kvr::loader_choice_names()) {
        if (name.ends_with(":V")) name.resize(name.size() - 2);
        out += (out.empty() ? "" : " ") + name;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: make_completions TEMPLATE OUTPUT\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) return 1;
    replace(text, "@SWITCHES@", switches(false, " "));
    replace(text, "@NUMBER_SWITCHES@", switches(true, " | "));
    replace(text, "@LOADERS@", loader_names());
    std::ofstream out(argv[2]);
    out << text;
    return out ? 0 : 1;
}
