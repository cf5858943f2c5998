// Gathers every block of a conversion as the report shows it: the loader, the place in the
// recording, the report line and its fields, the pause, and how the retries went.
#pragma once

#include <vector>

#include "conversion/driver.hpp"
#include "conversion/kept_stretch.hpp"
#include "report_page/tape_facts.hpp"

namespace kvr {

class BlockCollector : public ConversionObserver {
public:
    void block(const FoundBlock& found) override;
    void pause(float seconds) override;
    void kept(const KeptStretch& stretch) override;

    std::vector<BlockFacts>& blocks() { return blocks_; }
    std::vector<KeptFacts>& kept() { return kept_; }

private:
    std::vector<BlockFacts> blocks_;
    std::vector<KeptFacts> kept_;
};

}  // namespace kvr
