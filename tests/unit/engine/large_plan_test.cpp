// Block plans of the large readers' regions, compared as whole values.

#include <gmock/gmock.h>

#include <vector>

#include "cordane/formats/large_plan.h"

namespace {

using cordane::large::PlannedBlock;
using cordane::large::PlanRegion;
using cordane::large::Region;

std::vector<uint8_t> Filled(size_t n, uint8_t value = 0x5A) {
    return std::vector<uint8_t>(n, value);
}

// Sent blocks as (address, length) pairs.
std::vector<std::pair<uint32_t, size_t>> Sent(const cordane::large::RegionPlan& plan) {
    std::vector<std::pair<uint32_t, size_t>> sent;
    for (const PlannedBlock& block : plan.blocks) {
        if (block.send) sent.emplace_back(block.address, block.length);
    }
    return sent;
}

TEST(LargePlan, DriverLowSendsEveryBlockWithPausesAndAFloorOfThree) {
    const auto image = std::vector<uint8_t>(600, 0xFF);  // blank, but never skipped here
    const auto plan = PlanRegion(Region::DriverLow, image.data(), image.size(), 0, 100000);
    ASSERT_EQ(plan.blocks.size(), 3u);
    EXPECT_EQ(plan.blocks[0], (PlannedBlock{3, true, 0x4000, 0, 255, 1}));
    EXPECT_EQ(plan.blocks[1], (PlannedBlock{3, true, 0x40FF, 255, 255, 1}));
    EXPECT_EQ(plan.blocks[2], (PlannedBlock{-1, true, 0x41FE, 510, 90, 1}));
    EXPECT_EQ(plan.countAfter, 510u);
}

TEST(LargePlan, BarFollowsFullBlocksHandledAcrossRegions) {
    const auto image = Filled(255 * 4 + 1);
    // 1000 bytes of full blocks handled before, of a total of 2000.
    const auto plan = PlanRegion(Region::Upper, image.data(), image.size(), 1000, 2000);
    std::vector<int> percents;
    for (const auto& block : plan.blocks) percents.push_back(block.percent);
    EXPECT_THAT(percents, ::testing::ElementsAre(50, 62, 75, 88, -1));
    EXPECT_EQ(plan.countAfter, 1000u + 4 * 255);
}

TEST(LargePlan, DriverHighSkipsBlankBlocksWithoutAFloor) {
    auto image = std::vector<uint8_t>(256, 0xFF);
    image[255] = 0x01;
    const auto plan = PlanRegion(Region::DriverHigh, image.data(), image.size(), 0, 1000);
    ASSERT_EQ(plan.blocks.size(), 2u);
    EXPECT_EQ(plan.blocks[0], (PlannedBlock{0, false, 0x70000, 0, 255, 0}));
    EXPECT_EQ(plan.blocks[1], (PlannedBlock{-1, true, 0x700FF, 255, 1, 1}));
}

TEST(LargePlan, UpperRegionOfOneByte) {
    const uint8_t byte = 0x42;
    const auto plan = PlanRegion(Region::Upper, &byte, 1, 0, 10);
    ASSERT_EQ(plan.blocks.size(), 1u);
    EXPECT_EQ(plan.blocks[0], (PlannedBlock{-1, true, 0x100000, 0, 1, 1}));
}

// The application region of a binary file: 0xD000-0xDFFF blank, code from 0xE000.
std::vector<uint8_t> BinaryApplication(size_t length) {
    std::vector<uint8_t> image(length, 0xFF);
    for (size_t i = 0x1000; i < length; ++i) image[i] = static_cast<uint8_t>(i * 13 + 1);
    return image;
}

TEST(LargePlan, ApplicationSkipsTheBlankHeadAndStartsBlock16At0xE000) {
    const auto image = BinaryApplication(0x2000);
    const auto plan = PlanRegion(Region::Application, image.data(), image.size(), 0, 1000000);
    for (size_t n = 0; n < 16; ++n) EXPECT_FALSE(plan.blocks[n].send) << n;
    EXPECT_EQ(plan.blocks[16], (PlannedBlock{3, true, 0xE000, 0x1000, 239, 0}));
    EXPECT_EQ(plan.blocks[17].address, 0xD000u + 17 * 255);
    for (const auto& block : plan.blocks) EXPECT_EQ(block.pause, block.percent < 0 ? 1u : 0u);
}

TEST(LargePlan, ApplicationNeverWritesF000ToFFFF) {
    // Ends inside 0xF000-0xFFFF: nothing is sent there.
    auto plan = PlanRegion(Region::Application, BinaryApplication(0x2800).data(), 0x2800, 0, 1);
    auto sent = Sent(plan);
    EXPECT_EQ(sent.back(), (std::pair<uint32_t, size_t>{0xEFE0, 32}));
    for (const auto& [address, length] : sent) EXPECT_TRUE(address + length <= 0xF000);

    // Reaches 0x10000: block 32 is cut at 0xF000, block 48 carries 207 bytes from 0x10000.
    const auto image = BinaryApplication(0x3200);
    plan = PlanRegion(Region::Application, image.data(), image.size(), 0, 1);
    sent = Sent(plan);
    auto at = std::find(sent.begin(), sent.end(), std::pair<uint32_t, size_t>{0xEFE0, 32});
    ASSERT_NE(at, sent.end());
    EXPECT_EQ(*(at + 1), (std::pair<uint32_t, size_t>{0x10000, 207}));
    EXPECT_EQ(*(at + 2), (std::pair<uint32_t, size_t>{0x100CF, 255}));
    for (const auto& [address, length] : sent) {
        EXPECT_TRUE(address + length <= 0xF000 || address >= 0x10000) << std::hex << address;
    }
    // Every byte from 0xE000 to the end outside 0xF000-0xFFFF is sent exactly once.
    std::vector<int> written(0x3200, 0);
    for (const auto& [address, length] : sent) {
        for (size_t i = 0; i < length; ++i) ++written[address - 0xD000 + i];
    }
    for (size_t i = 0x1000; i < 0x3200; ++i) {
        EXPECT_EQ(written[i], (i >= 0x2000 && i < 0x3000) ? 0 : 1) << std::hex << i;
    }
}

TEST(LargePlan, ApplicationLastBlockAroundTheGap) {
    // The loop stops on block 48 with few bytes left: 48 or fewer send nothing.
    for (size_t extra : {0u, 48u, 49u}) {
        SCOPED_TRACE(extra);
        const size_t length = 48 * 255 + extra;  // remaining at block 48 == extra (+0 skips)
        const auto image = BinaryApplication(length);
        const auto sent = Sent(PlanRegion(Region::Application, image.data(), length, 0, 1));
        if (extra > 48) {
            EXPECT_EQ(sent.back(), (std::pair<uint32_t, size_t>{0x10000, extra - 48}));
        } else {
            EXPECT_EQ(sent.back(), (std::pair<uint32_t, size_t>{0xEFE0, 32}));
        }
    }
}

TEST(LargePlan, Block16WithCodeInFrontOf0xE000IsSentWhole) {
    auto image = BinaryApplication(0x1200);
    image[0xFF5] = 0x00;  // 0xDFF5
    const auto plan = PlanRegion(Region::Application, image.data(), image.size(), 0, 1000000);
    EXPECT_EQ(plan.blocks[16], (PlannedBlock{3, true, 0xDFF0, 0xFF0, 255, 0}));
}

}  // namespace
