// The Windows link against the reader emulator, a Linux program on a pseudo-terminal that the Wine
// prefix shows as a serial port. link_wine_test.sh starts the emulators, links their terminals
// into the prefix and names the ports in KORVEL_WINE_SIM_PORTS; run alone, the tests are skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "zr318.h"
#include "zr318/ports.h"

namespace {

// The ports the emulators serve ("COM5,KORVEL07"); empty when nobody started them.
std::vector<std::string> EmulatedPorts() {
    std::vector<std::string> names;
    const char* setting = std::getenv("KORVEL_WINE_SIM_PORTS");
    std::stringstream list(setting ? setting : "");
    for (std::string name; std::getline(list, name, ',');) {
        if (!name.empty()) names.push_back(name);
    }
    return names;
}

#define NEED_EMULATORS(names)                                                                 \
    if ((names).empty()) {                                                                    \
        GTEST_SKIP() << "no emulated ports: run through link_wine_test.sh, which starts the " \
                        "Linux build's korvel-sim";                                           \
    }

TEST(LinkUnderWine, DiscoveryListsTheEmulatedPortsUnderTheSystemsNames) {
    const std::vector<std::string> names = EmulatedPorts();
    NEED_EMULATORS(names);
    const std::vector<korvel::ports::OpenablePort> found = korvel::ports::ListOpenablePorts();
    for (const std::string& name : names) {
        const auto spec = korvel::ports::ParsePortName(name);
        ASSERT_TRUE(spec) << name;
        const auto entry = std::find_if(found.begin(), found.end(),
                                        [&](const auto& port) { return port.id == spec->id; });
        ASSERT_NE(entry, found.end()) << name << " not listed";
        EXPECT_EQ(entry->text, name);
        EXPECT_EQ(entry->device, spec->device);
    }
}

TEST(LinkUnderWine, ResetsAndExchangesFramesWithTheEmulatedReader) {
    const std::vector<std::string> names = EmulatedPorts();
    NEED_EMULATORS(names);
    for (const std::string& name : names) {
        const auto spec = korvel::ports::ParsePortName(name);
        ASSERT_TRUE(spec) << name;
        int32_t handle = -1;
        ASSERT_EQ(ZrResetAndOpen512(spec->id, &handle), 0u) << name;

        // Every loader frame is answered, its first byte the status; a lone 0 is refused, but
        // answered all the same. Timed, for the round trip through Wine and the terminal.
        constexpr int kExchanges = 50;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kExchanges; ++i) {
            const unsigned char frame = 0x00;
            ASSERT_EQ(ZrSendMessage(handle, &frame, 1), 0);
            unsigned char answer[ZR_REPLY_BUFFER];
            int length = 0;
            int other = 0;
            int result;
            while ((result = ZrGetMessage(handle, answer, &length, &other)) == ZR_PENDING) {
            }
            ASSERT_EQ(result, ZR_OK) << name << " exchange " << i;
            EXPECT_GE(length, 1);
            EXPECT_EQ(other, 0);
        }
        const auto each = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - start) /
                          kExchanges;
        std::printf("%s: %lld us a round trip\n", name.c_str(),
                    static_cast<long long>(each.count()));
        ZrKvrenReset(handle);
        ZrClose(handle);
    }
}

// Wine reads a terminal whose other end is gone as 0 bytes at once, and writes to it fail: the
// link must call that a failure, soon, not wait out the reply time-out or spin.
TEST(LinkUnderWine, AReaderThatHangsUpIsAFailureNotATimeOut) {
    const char* name = std::getenv("KORVEL_WINE_SIM_HANGUP_PORT");
    if (name == nullptr) GTEST_SKIP() << "no emulated port that hangs up: run link_wine_test.sh";
    const auto spec = korvel::ports::ParsePortName(name);
    ASSERT_TRUE(spec) << name;
    int32_t handle = -1;
    ASSERT_EQ(ZrResetAndOpen512(spec->id, &handle), 0u);
    const unsigned char frame = 0x00;
    ASSERT_EQ(ZrSendMessage(handle, &frame, 1), 0);
    const auto start = std::chrono::steady_clock::now();
    unsigned char answer[ZR_REPLY_BUFFER];
    int length = 0;
    int result;
    int calls = 0;
    while ((result = ZrGetMessage(handle, answer, &length, nullptr)) == ZR_PENDING) ++calls;
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result, ZR_STATUS_COMMUNICATION);
    EXPECT_LT(took, std::chrono::milliseconds(1000));  // the time-out in force is 3 s
    std::printf(
        "%s: hang-up seen after %lld ms and %d calls\n", name,
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
        calls + 1);
    EXPECT_NE(ZrSendMessage(handle, &frame, 1), 0);
    ZrClose(handle);
}

}  // namespace
