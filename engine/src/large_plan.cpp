#include "cordane/formats/large_plan.h"

#include <algorithm>
#include <cstring>

#include "cordane/formats/large_layout.h"
#include "cordane/protocol.h"

namespace cordane::large {

namespace {

constexpr size_t kBlock = kMaxPayload;  // 255 bytes a full block
constexpr uint32_t kBlockPause = 1;     // ms before a block that has a pause
constexpr int kLowestPercent = 3;       // the bar never stands lower during the transfer

// Bar position before a full block: the share of full-block bytes handled so far.
int Percent(uint64_t handled, uint64_t total, bool floor) {
    const uint64_t percent = total == 0 ? 100 : handled * 100 / total;
    const int value = static_cast<int>(std::min<uint64_t>(percent, 100));
    return floor ? std::max(value, kLowestPercent) : value;
}

// Blocks of the application region: the irregular numbering around 0xE000-0xFFFF.
RegionPlan PlanApplication(const uint8_t* image, size_t length, uint64_t count, uint64_t total) {
    RegionPlan plan;
    size_t n = 0;
    size_t remaining = length;
    while (remaining > kBlock) {
        PlannedBlock block;
        block.percent = Percent(count, total, true);
        if (n == kBlock32) {
            block.address = kBlock32Address;
            block.length = kBlock32Length;
        } else if (n == kBlock48) {
            block.address = kBlock48Address;
            block.length = kBlock48Length;
        } else {
            block.address = kAppStart + static_cast<uint32_t>(n * kBlock);
            block.length = kBlock;
        }
        block.offset = block.address - kAppStart;
        remaining -= kBlock;
        if (IsBlank(image + block.offset, block.length)) {
            block.send = false;
        } else if (n == kBlock16 && IsBlank(image + block.offset, kBlock16HeadLength)) {
            // Nothing in front of 0xE000: the block starts with the application itself.
            block.address = kAppCodeStart;
            block.offset = kAppCodeStart - kAppStart;
            block.length = kBlock16CodeLength;
        }
        plan.blocks.push_back(block);
        if (n == kBlock32) {
            n = kBlock48;
            remaining = remaining > kSkippedAfter32 ? remaining - kSkippedAfter32 : 0;
        } else {
            ++n;
        }
        count += kBlock;
    }
    if (remaining > 0) {
        PlannedBlock last;
        last.pause = kBlockPause;
        if (n == kBlock32) {
            last.address = kBlock32Address;
            last.length = std::min(remaining, kBlock32Length);
        } else if (n == kBlock48) {
            last.address = kBlock48Address;
            last.length = remaining > kBlock48Skip ? remaining - kBlock48Skip : 0;
        } else {
            last.address = kAppStart + static_cast<uint32_t>(n * kBlock);
            last.length = remaining;
        }
        last.offset = last.address - kAppStart;
        if (last.length > 0) plan.blocks.push_back(last);
    }
    plan.countAfter = count;
    return plan;
}

}  // namespace

bool IsBlank(const uint8_t* bytes, size_t length) {
    static const std::vector<uint8_t> blank(kBlock, 0xFF);
    while (length > 0) {
        const size_t n = std::min(length, blank.size());
        if (std::memcmp(bytes, blank.data(), n) != 0) return false;
        bytes += n;
        length -= n;
    }
    return true;
}

RegionPlan PlanRegion(Region region, const uint8_t* image, size_t length, uint64_t count,
                      uint64_t total) {
    if (region == Region::Application) return PlanApplication(image, length, count, total);

    const RegionFacts& facts = RegionFactsOf(region);
    const uint32_t start = facts.start;
    const bool skipBlank = facts.skipsBlank;
    const bool floor = facts.percentFloor;
    RegionPlan plan;
    const size_t full = length > kBlock ? (length - 1) / kBlock : 0;
    for (size_t k = 0; k < full; ++k) {
        PlannedBlock block;
        block.percent = Percent(count + k * kBlock, total, floor);
        block.offset = k * kBlock;
        block.address = start + static_cast<uint32_t>(block.offset);
        block.length = kBlock;
        block.send = !(skipBlank && IsBlank(image + block.offset, kBlock));
        block.pause = block.send ? kBlockPause : 0;
        plan.blocks.push_back(block);
    }
    const size_t rest = length - full * kBlock;
    if (rest > 0) {
        PlannedBlock last;
        last.offset = full * kBlock;
        last.address = start + static_cast<uint32_t>(last.offset);
        last.length = rest;
        last.pause = kBlockPause;
        plan.blocks.push_back(last);
    }
    plan.countAfter = count + full * kBlock;
    return plan;
}

}  // namespace cordane::large
