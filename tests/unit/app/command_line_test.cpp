// Brenmark's command line: the keys, their case rules, lengths and precedence.
#include <gmock/gmock.h>

#include "brenmark/command_line.h"

namespace brenmark {
namespace {

TEST(CommandLine, JoinsArgumentsSoThatSplittingDoesNotMatter) {
    const char* one[] = {"brenmark", "|PATHMKI=\"/kit/out put/\" |COM=0"};
    const char* two[] = {"brenmark", "|PATHMKI=\"/kit/out", "put/\"", "|COM=0"};
    EXPECT_EQ(JoinArguments(2, one), JoinArguments(4, two));
    const CommandLine line = ParseCommandLine(JoinArguments(4, two));
    EXPECT_EQ(line.kitDirectory, "/kit/out put/");
    EXPECT_EQ(line.runMode, kRunAutomatic);
    EXPECT_EQ(JoinArguments(1, one), "");
}

TEST(CommandLine, WindowsLineLosesOnlyTheProgramsName) {
    // The kit's line: the quotes of |PATHMKI= reach the reader as the kit wrote them.
    const std::string kit = ArgumentsOfCommandLine(
        "\"C:\\Program Files\\Cordane\\bin\\brenmark.exe\"  "
        "|PATHMKI=\"C:\\Kit\\\" |COM=0");
    EXPECT_EQ(kit, "|PATHMKI=\"C:\\Kit\\\" |COM=0");
    const CommandLine line = ParseCommandLine(kit);
    EXPECT_EQ(line.kitDirectory, "C:\\Kit\\");
    EXPECT_EQ(line.runMode, kRunAutomatic);
    EXPECT_EQ(ParseCommandLine(ArgumentsOfCommandLine("brenmark.exe\tSerialPort=12")).serialPort,
              12u);
    // Text glued to a quoted name is an argument; a name whose quote never closes takes all.
    EXPECT_EQ(ArgumentsOfCommandLine("\"brenmark\"|COM=0"), "|COM=0");
    EXPECT_EQ(ArgumentsOfCommandLine("\"C:\\Kit\\brenmark |COM=0"), "");
    EXPECT_EQ(ArgumentsOfCommandLine("brenmark"), "");
    EXPECT_EQ(ArgumentsOfCommandLine(""), "");
}

TEST(CommandLine, SerialPortKeysFillTheWholeLine) {
    const CommandLine empty = ParseCommandLine("");
    EXPECT_EQ(empty.serialPort, 0u);
    EXPECT_EQ(empty.runMode, kRunInteractive);
    EXPECT_EQ(empty.kitDirectory, "");
    EXPECT_TRUE(empty.warnings.empty());

    EXPECT_EQ(ParseCommandLine("serialport=12").serialPort, 12u);
    EXPECT_EQ(ParseCommandLine("SerialPort=7").serialPort, 7u);
    EXPECT_EQ(ParseCommandLine("SERIALPORT=256").serialPort, 256u);
    // Four digits, or anything after the number: the key is seen and nothing is fixed.
    const CommandLine four = ParseCommandLine("SerialPort=1234");
    EXPECT_EQ(four.serialPort, 0u);
    EXPECT_EQ(four.warnings.size(), 1u);
    const CommandLine combined = ParseCommandLine("SerialPort=3 |COM=0");
    EXPECT_EQ(combined.serialPort, 0u);
    EXPECT_EQ(combined.runMode, kRunAutomatic);
    // Only digits make a number ("A" would otherwise read as port 17).
    EXPECT_EQ(ParseCommandLine("SerialPort=A").serialPort, 0u);
    EXPECT_EQ(ParseCommandLine("SerialPort=1-").serialPort, 0u);
    // Not at the very start: not the key.
    const CommandLine later = ParseCommandLine(" SerialPort=3");
    EXPECT_EQ(later.serialPort, 0u);
    EXPECT_TRUE(later.warnings.empty());
    EXPECT_EQ(ParseCommandLine("SerialPort=").serialPort, 0u);

    // The virtual key names the virtual reader port of its number.
    EXPECT_EQ(ParseCommandLine("serialvirtualport=3").serialPort, 0x80000003u);
    EXPECT_EQ(ParseCommandLine("SerialVirtualPort=98").serialPort, 0x80000062u);
    EXPECT_EQ(ParseCommandLine("SerialVirtualPort=1000").serialPort, 0u);
}

TEST(CommandLine, KitDirectoryNeedsQuotesAndAFittingLength) {
    EXPECT_EQ(ParseCommandLine("x |PATHMKI=\"C:/kit/app.sre\" y").kitDirectory, "C:/kit/app.sre");
    EXPECT_EQ(ParseCommandLine("|PATHMKI= \"/kit/\"").kitDirectory, "/kit/");
    EXPECT_EQ(ParseCommandLine("|pathmki=\"/kit/\"").kitDirectory, "");  // exact case

    const CommandLine unquoted = ParseCommandLine("|PATHMKI=/kit/ |COM=0");
    EXPECT_EQ(unquoted.kitDirectory, "");
    EXPECT_EQ(unquoted.runMode, kRunAutomatic);
    ASSERT_EQ(unquoted.warnings.size(), 1u);
    EXPECT_EQ(ParseCommandLine("|PATHMKI=\"/kit/").kitDirectory, "");

    const std::string fits(255, 'k');
    EXPECT_EQ(ParseCommandLine("|PATHMKI=\"" + fits + "\"").kitDirectory, fits);
    const CommandLine longer = ParseCommandLine("|PATHMKI=\"" + fits + "k\"");
    EXPECT_EQ(longer.kitDirectory, "");
    ASSERT_EQ(longer.warnings.size(), 1u);
    EXPECT_THAT(longer.warnings[0], ::testing::HasSubstr("256 characters"));
}

TEST(CommandLine, RunModeKeysAreExactAndInteractiveWins) {
    EXPECT_EQ(ParseCommandLine("|COM=0").runMode, kRunAutomatic);
    EXPECT_EQ(ParseCommandLine("|com=0").runMode, kRunInteractive);
    EXPECT_EQ(ParseCommandLine("|COM=0 |COM=1").runMode, kRunInteractive);
    EXPECT_EQ(ParseCommandLine("|COM=1 |COM=0").runMode, kRunInteractive);
    EXPECT_EQ(ParseCommandLine("rubbish|COM=0rubbish").runMode, kRunAutomatic);
}

}  // namespace
}  // namespace brenmark
