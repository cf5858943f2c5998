// The loader registry: which loader reads which block for the switches given, the defaults
// the loaders fill in, and their switches.
#include <gtest/gtest.h>

#include "kelvarin/run.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

// The loader of each of the first `blocks` blocks for a switch string, as a conversion
// would choose them.
std::string loaders_for(std::vector<std::string> args, int blocks = 6) {
    args.push_back("in.wav");
    auto cx = std::make_unique<Context>();
    EXPECT_EQ(parse_command_line(*cx, args), ParseOutcome::run);
    LoaderSet loaders(cx->settings);
    std::string out;
    for (int k = 0; k < blocks; ++k) out += std::string(loaders.serving(k).loader->name) + " ";
    return out;
}

TEST(Registry, DispatchTable) {
    EXPECT_EQ(loaders_for({}), "rom rom rom rom rom rom ");
    EXPECT_EQ(loaders_for({"/bleep"}), "rom rom rom rom rom rom ");
    EXPECT_EQ(loaders_for({"/diload"}), "rom rom digital_integration digital_integration rom rom ");
    // Without "/slskip" the first Speedlock block is the third for types 1 and 4, the
    // fifth for types 2 and 3.
    EXPECT_EQ(loaders_for({"/slock1", "0"}), "rom rom speedlock1 speedlock1 speedlock1 speedlock1 ");
    EXPECT_EQ(loaders_for({"/slock2"}), "rom rom rom rom speedlock speedlock ");
    EXPECT_EQ(loaders_for({"/slock3", "2"}), "rom rom rom rom speedlock speedlock ");
    EXPECT_EQ(loaders_for({"/slock4"}), "rom rom speedlock speedlock speedlock speedlock ");
    EXPECT_EQ(loaders_for({"/slock4", "/slskip", "0"}, 2), "speedlock speedlock ");
    // Digital Integration only before the skip count: with a Speedlock type never, and a
    // skip count alone stops it from that block on.
    EXPECT_EQ(loaders_for({"/diload", "/slock1", "0"}), "rom rom speedlock1 speedlock1 speedlock1 speedlock1 ");
    EXPECT_EQ(loaders_for({"/diload", "/slskip", "3"}), "rom rom digital_integration rom rom rom ");
    EXPECT_EQ(loaders_for({"/diload", "/slock4", "/slskip", "4"}),
              "rom rom digital_integration digital_integration speedlock speedlock ");
    EXPECT_EQ(loaders_for({"/slskip", "2"}), "rom rom rom rom rom rom ");
}

TEST(Registry, DefaultsAndGaps) {
    Settings s;
    speedlock_settings(s).type = 3;
    speedlock_settings(s).variant = 2;
    LoaderSet loaders(s);
    EXPECT_EQ(speedlock_settings(s).skip, 4);  // filled in when the conversion starts
    // The simulated noise stands in for the gap before block 1, and for no other.
    const LoaderDescriptor& speedlock = *loaders.serving(4).loader;
    ASSERT_NE(speedlock.replaces_gap, nullptr);
    EXPECT_TRUE(speedlock.replaces_gap(s, 4));
    EXPECT_FALSE(speedlock.replaces_gap(s, 5));
    speedlock_settings(s).variant = 0;
    EXPECT_FALSE(speedlock.replaces_gap(s, 4));

    Settings given;
    speedlock_settings(given).type = 2;
    speedlock_settings(given).skip = 7;
    LoaderSet kept(given);
    EXPECT_EQ(speedlock_settings(given).skip, 7);
    Settings none;
    LoaderSet plain(none);
    EXPECT_EQ(speedlock_settings(none).skip, 0xFFFF);
}

TEST(Registry, EveryLoaderOnceAndTheRomSchemeLast) {
    const auto all = all_loaders();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back()->name, "rom");
    std::vector<std::string> switches;
    for (const LoaderDescriptor* loader : all) {
        EXPECT_EQ(loader_named(loader->name), loader);
        for (const Switch& s : loader->switches) {
            EXPECT_EQ(find_loader_switch(s.name), &s);
            switches.emplace_back(s.name);
        }
    }
    EXPECT_EQ(switches.size(), 7u);  // /diload, /slock1 to 4, /slskip, /bleep
    EXPECT_EQ(find_loader_switch("/tap"), nullptr);
    EXPECT_EQ(loader_named("nonesuch"), nullptr);
}

}  // namespace
}  // namespace kvr::test
