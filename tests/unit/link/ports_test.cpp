// Port identifiers and names: the same on every system.
#include "zr318/ports.h"

#include <gtest/gtest.h>

namespace korvel::ports {
namespace {

TEST(PortIdentifiers, ConvertBetweenIdentifierWordAndSignWidenedForm) {
    EXPECT_EQ(IdToWord(0x80000007u), 0x8007);
    EXPECT_EQ(WordToId(0x8007), 0x80000007u);
    EXPECT_EQ(WordToSignedId(0x8007), 0xFFFF8007u);
    EXPECT_EQ(IdToWord(0xFFFF8007u), 0x8007);
    EXPECT_EQ(Canonical(0xFFFF8007u), 0x80000007u);
    EXPECT_EQ(PortNumber(0xFFFF8007u), 7u);

    EXPECT_EQ(IdToWord(3), 3);
    EXPECT_EQ(WordToId(3), 3u);
    EXPECT_EQ(WordToSignedId(256), 256u);
    EXPECT_EQ(Canonical(256), 256u);
    EXPECT_EQ(WordToId(IdToWord(0x80000000u + 98)), 0x80000000u + 98);
}

TEST(PortNames, ShowAndParseComAndVirtualPorts) {
    EXPECT_EQ(DisplayName(3), "COM3");
    EXPECT_EQ(DisplayName(256), "COM256");
    EXPECT_EQ(DisplayName(0x80000007u), "KORVEL07");
    EXPECT_EQ(DisplayName(0xFFFF8007u), "KORVEL07");
    EXPECT_EQ(EntryName(0x80000000u), "Korvel_reader_00");
    EXPECT_EQ(EntryName(12), "COM12");

    const auto korvel = ParsePortName("KORVEL07");
    ASSERT_TRUE(korvel);
    EXPECT_EQ(korvel->id, 0x80000007u);
    EXPECT_EQ(korvel->text, "KORVEL07");
    const auto com = ParsePortName("com12");
    ASSERT_TRUE(com);
    EXPECT_EQ(com->id, 12u);
    EXPECT_EQ(com->text, "COM12");

    for (const char* bad : {"COM0", "COM257", "KORVEL99", "COM", "COM1x", "LPT1", "", "COM-1"}) {
        std::string error;
        EXPECT_FALSE(ParsePortName(bad, &error)) << bad;
        EXPECT_NE(error.find("COM1..COM256"), std::string::npos) << bad;
    }
}

}  // namespace
}  // namespace korvel::ports
