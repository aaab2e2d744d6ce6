// Where a port's device lies on Linux, and port discovery, against pseudo-terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "link_test_support.h"
#include "zr318/ports.h"

namespace korvel::ports {
namespace {

using korvel::testing::PtyReader;
using korvel::testing::ScopedEnv;
using korvel::testkit::TempDir;

TEST(PortNames, ADevicePathIsUsedAsItIs) {
    const auto path = ParsePortName("/dev/ttyUSB0");
    ASSERT_TRUE(path);
    EXPECT_EQ(path->id, 0u);
    EXPECT_EQ(path->device, "/dev/ttyUSB0");
}

TEST(PortsDirectory, FollowsTheEnvironmentInOrder) {
    ScopedEnv home("HOME", "/home/op");
    {
        ScopedEnv dir("KORVEL_PORTS_DIR", "/srv/ports");
        ScopedEnv xdg("XDG_CONFIG_HOME", "/cfg");
        EXPECT_EQ(PortsDirectory(), "/srv/ports");
    }
    ScopedEnv noDir("KORVEL_PORTS_DIR", std::nullopt);
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/cfg");
        EXPECT_EQ(PortsDirectory(), "/cfg/korvel/ports");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "relative/cfg");
        EXPECT_EQ(PortsDirectory(), "/home/op/.config/korvel/ports");
    }
    ScopedEnv noXdg("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(PortsDirectory(), "/home/op/.config/korvel/ports");
}

TEST(PortsDirectory, EntriesNameDevicesAndComPortsFallBackToTtyS) {
    TempDir dir;
    ScopedEnv env("KORVEL_PORTS_DIR", dir.path());
    dir.Link("COM3", "/dev/null");
    dir.Link("Korvel_reader_07", "/dev/null");

    EXPECT_EQ(DevicePath(3), dir.path() + "/COM3");
    EXPECT_EQ(DevicePath(4), "/dev/ttyS3");
    EXPECT_EQ(DevicePath(0x80000007u), dir.path() + "/Korvel_reader_07");
    EXPECT_EQ(DevicePath(0xFFFF8007u), dir.path() + "/Korvel_reader_07");

    std::string error;
    EXPECT_FALSE(DevicePath(0x80000008u, &error));
    EXPECT_NE(error.find(dir.path() + "/Korvel_reader_08"), std::string::npos) << error;
    EXPECT_FALSE(DevicePath(0, &error));
}

TEST(PortDiscovery, ListsOpenablePortsComFirstAndLeavesOutHeldAndMissingOnes) {
    TempDir dir;
    ScopedEnv env("KORVEL_PORTS_DIR", dir.path());
    PtyReader com12, com3, korvel7, held;
    ASSERT_TRUE(com12.Ok() && com3.Ok() && korvel7.Ok() && held.Ok());
    dir.Link("COM12", com12.SlavePath());
    dir.Link("COM3", com3.SlavePath());
    dir.Link("Korvel_reader_07", korvel7.SlavePath());
    dir.Link("Korvel_reader_08", held.SlavePath());
    dir.Link("Korvel_reader_09", dir.path() + "/no-such-device");

    // Another program holds KORVEL08.
    const int holder = open(held.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

    std::vector<std::string> listed;
    for (const OpenablePort& entry : ListOpenablePorts()) {
        // COM ports without an entry are the machine's own ttyS devices: not this test's.
        if (entry.device.rfind(dir.path(), 0) == 0) listed.push_back(entry.text);
        if (entry.text == "KORVEL07") {
            EXPECT_EQ(entry.id, 0x80000007u);
        }
    }
    EXPECT_EQ(listed, (std::vector<std::string>{"COM3", "COM12", "KORVEL07"}));
    close(holder);
    EXPECT_TRUE(CanOpenPort(dir.path() + "/Korvel_reader_08"));
}

}  // namespace
}  // namespace korvel::ports
