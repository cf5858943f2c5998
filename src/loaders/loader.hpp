// A loader: the tape scheme of one kind of block, from the search for its pilot to the
// bytes it leaves in an image or a TAP file. Each loader is one constant descriptor in its
// own file, listed in loaders/loader_list.hpp; the driver and the sinks know loaders only
// through these descriptors.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/hp_cursor.hpp"
#include "analysis/pilot.hpp"
#include "core/console.hpp"
#include "core/settings.hpp"
#include "core/switch.hpp"
#include "loaders/decoded_block.hpp"

namespace kvr {

// What a loader keeps from one call to the next during a conversion; each loader derives
// its own, through CopyableState, so that a block can be read again from the state it was
// first read in.
struct LoaderState {
    virtual ~LoaderState() = default;
    virtual std::unique_ptr<LoaderState> clone() const = 0;
    // Takes the value of another state of the same loader.
    virtual void assign(const LoaderState& other) = 0;
};

template <typename T>
struct CopyableState : LoaderState {
    std::unique_ptr<LoaderState> clone() const override { return std::make_unique<T>(static_cast<const T&>(*this)); }
    void assign(const LoaderState& other) override { static_cast<T&>(*this) = static_cast<const T&>(other); }
};

// What a decoder needs besides the cursor, the settings and the pilot.
struct DecodeInput {
    std::int32_t index = 0;           // the block's number in the run, from 0
    std::int32_t last_block_end = 0;  // where the block before it ended
    std::uint8_t* buffer = nullptr;   // the block buffer of the conversion (kBlockDataSize bytes)
};

// A kind of block: its name (kvrtool's, and the report page's class), what the page's legend
// calls it, and the colour the page draws it in.
struct BlockKind {
    std::string_view name;
    std::string_view label;
    std::string_view colour;
};

// The fields of a block's report line by name, in the order the line shows them.
using BlockFields = std::vector<std::pair<std::string, std::string>>;

// What a loader tells of one of its blocks to those who show it otherwise than the report
// does (the report page, kvrtool).
struct BlockDescription {
    const BlockKind* kind = nullptr;
    BlockFields fields;
    bool learns_bit_lengths = false;  // bits judged against lengths learnt from its first bits
    double end_factor = 0.0;          // it ends at an HP this many times the 1 length
};

// A name kvrtool's --loader takes for the loader: the switch it stands for, and the variants
// that may follow it after a colon.
struct LoaderChoice {
    std::string_view name;
    const char* switch_name = nullptr;  // nullptr: the loader needs no switch
    std::int32_t most_variant = -1;     // -1: no variant; else one of 0 to this (0 when none is given)
};

struct LoaderDescriptor {
    std::string_view name;
    // The command-line switches that set its settings.
    std::span<const Switch> switches;
    // kvrtool's names for it.
    std::span<const LoaderChoice> choices;
    // Fills in its defaults when a conversion starts (optional).
    void (*prepare)(Settings& settings) = nullptr;
    // Whether it reads the block with this index. The list is asked in order.
    bool (*serves)(const Settings& settings, std::int32_t index);
    std::unique_ptr<LoaderState> (*make_state)();

    // Searches the recording for the pilot of the block with this index.
    PilotResult (*find_pilot)(HpCursor& c, const Settings& settings, std::int32_t index, LoaderState& state);
    // The step between the pilot and the data: the sync, or HPs that are skipped.
    void (*after_pilot)(HpCursor& c, const Settings& settings, PilotResult& pilot);
    // True when the pause before the block with this index is not measured but 0 (optional).
    bool (*replaces_gap)(const Settings& settings, std::int32_t index) = nullptr;
    // Reads the block. A result that is not counted found nothing, and the search goes on
    // from where the cursor stopped.
    DecodedBlock (*decode)(HpCursor& c, const Settings& settings, const PilotResult& pilot, const DecodeInput& input,
                           LoaderState& state);

    // Sees every waiting block, whichever loader read it, just before it is written to an
    // image (optional).
    void (*before_image_write)(DecodedBlock& waiting, const Settings& settings, LoaderState& state) = nullptr;
    // Appends the waiting block, with the pause after it, to the image.
    void (*write_image)(const DecodedBlock& waiting, float pause, const Settings& settings,
                        std::vector<std::uint8_t>& out);
    // Whether the block's data makes a TAP record (optional: always).
    bool (*in_tap)(const DecodedBlock& block) = nullptr;

    // The report: the lines before its sub-blocks (optional), then its own line, left open
    // for the pause.
    void (*print_heading)(const DecodedBlock& block, Console& out) = nullptr;
    void (*print_line)(const DecodedBlock& block, Console& out);
    // Whether the block checks out: its checksum, or whatever check its scheme has.
    bool (*checks_out)(const DecodedBlock& block);
    BlockDescription (*describe)(const DecodedBlock& block);
    // Every kind its blocks may be of.
    std::span<const BlockKind> kinds;
    // For a block that announces the length of the next one (a header): that length in
    // bytes, else -1 (optional: never).
    std::int32_t (*announces)(const DecodedBlock& block) = nullptr;
    // Whether its blocks are held to the length the block before announced: one that ends
    // short of it has not been read whole.
    bool held_to_announced_length = false;
    // The block as it would have been read with these bytes (all of them whole), for a block
    // put together of several readings (optional: its blocks cannot be).
    DecodedBlock (*with_bytes)(const DecodedBlock& block, std::span<const std::uint8_t> bytes) = nullptr;
};

// The length in bytes a block announces for the next one (a header's), or -1.
inline std::int32_t announced_by(const DecodedBlock& block) {
    return block.loader != nullptr && block.loader->announces != nullptr ? block.loader->announces(block) : -1;
}

// A fresh state of a loader's own kind, and that state from the one the registry keeps.
template <typename T>
std::unique_ptr<LoaderState> new_state() {
    return std::make_unique<T>();
}
template <typename T>
T& state_of(LoaderState& state) {
    return static_cast<T&>(state);
}

// The fields every kind of line ends with, as the report page shows them.
void add_length_fields(BlockFields& fields, std::int32_t used_bits, const char* length_name, std::int32_t length,
                       char check);
std::string field_number(std::int64_t value);

// Counts the block and gives back the HP pair that ended its data, so that the next pilot
// search starts with them.
void finish_block(HpCursor& c, DecodedBlock& block);

}  // namespace kvr
