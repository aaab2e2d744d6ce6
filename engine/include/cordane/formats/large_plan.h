// Block plans of the large readers: which WriteBlock frames a region image becomes, which blank
// blocks are skipped, where the bar stands before each block and which pauses come first. A plan
// is a value, built and tested without a link; the procedure only carries it out.
#ifndef CORDANE_LARGE_PLAN_H
#define CORDANE_LARGE_PLAN_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cordane/formats/large_layout.h"

namespace cordane::large {

struct PlannedBlock {
    int percent = -1;      // bar position set before the block; -1: the bar is not moved
    bool send = true;      // false: a blank block, skipped
    uint32_t address = 0;  // load address
    size_t offset = 0;     // image index of the block's first byte
    size_t length = 0;     // payload bytes
    uint32_t pause = 0;    // ms before sending

    bool operator==(const PlannedBlock&) const = default;
};

struct RegionPlan {
    std::vector<PlannedBlock> blocks;
    uint64_t countAfter = 0;  // bytes of full blocks handled once the region is done
};

// The plan of one region image of `length` bytes. `count` is the bytes of full blocks handled
// before this region, `total` the progress total of the whole download.
RegionPlan PlanRegion(Region region, const uint8_t* image, size_t length, uint64_t count,
                      uint64_t total);

// True when every byte is 0xFF.
bool IsBlank(const uint8_t* bytes, size_t length);

}  // namespace cordane::large

#endif
