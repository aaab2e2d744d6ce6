// What the cordane programs take from the system they run on: a port that cannot be used is
// refused before anything starts, with what to do about it, and names beyond ASCII lead to the
// files they name.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/file.h"
#include "cli/user_files.h"
#include "cordane/exit_codes.h"
#include "download/port.h"
#include "support/temp_dir.h"

namespace cordane::tools {
namespace {

TEST(PortCheckTest, APortWithNoDeviceIsRefusedWithWhatToDo) {
    // No system of the tests has a COM port this high, nor a reader port without its entry.
    for (const char* name : {"COM241", "KORVEL97"}) {
        const korvel::base::Expected<PortChoice> port = ChoosePort(name);
        ASSERT_FALSE(port.has_value()) << name;
        EXPECT_EQ(port.error().code, kExitBadInput) << name;
        EXPECT_NE(port.error().message.find(name), std::string::npos) << port.error().message;
    }
    const std::string message = ChoosePort("COM241").error().message;
    EXPECT_NE(message.find("does not exist"), std::string::npos) << message;
    EXPECT_NE(message.find("\"cordane ports\""), std::string::npos) << message;
}

TEST(PortCheckTest, NamesThatAreNoPortAreUsageErrors) {
    for (const char* name : {"COM", "COM3x", "KORVEL", "LPT1", ""}) {
        const korvel::base::Expected<PortChoice> port = ChoosePort(name);
        ASSERT_FALSE(port.has_value()) << name;
        EXPECT_EQ(port.error().code, kExitUsage) << name;
    }
}

TEST(UserFilesTest, NamesBeyondAsciiLeadToTheirFiles) {
    korvel::testkit::TempDir dir;
    const std::string name = dir.File("d\xC3\xA9mo \xE2\x82\xAC.sre");  // "démo €.sre"
    const std::string other = dir.File("\xD0\xBE\xD0\xB1.sre");         // "об.sre"
    ASSERT_TRUE(korvel::base::File::Open(name, korvel::base::FileAccess::Create).has_value());
    ASSERT_TRUE(korvel::base::File::Open(other, korvel::base::FileAccess::Create).has_value());
    EXPECT_TRUE(SameFile(name, name));
    EXPECT_FALSE(SameFile(name, other));
    // The standard library's path holds the same name, and gives it back unchanged.
    EXPECT_TRUE(std::filesystem::exists(PathOf(name)));
    EXPECT_EQ(Utf8Of(PathOf(name)), name);
}

}  // namespace
}  // namespace cordane::tools
