// The platform layer's own services, with no handler installed: the system's clock and sleep,
// and the message box nobody answers.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "cordane/platform.h"

namespace {

TEST(PlatformServices, RealClockCountsMillisecondsAcrossASleep) {
    KvSetTimeSource(nullptr, nullptr, nullptr);
    using std::chrono::steady_clock;
    const steady_clock::time_point steadyBefore = steady_clock::now();
    const uint64_t before = KvNowMs();
    KvSleep(40);
    const uint64_t after = KvNowMs();
    const auto steadyElapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - steadyBefore)
            .count();
    ASSERT_GE(after, before);
    const uint64_t elapsed = after - before;
    // The sleep lasted at least what was asked (a millisecond of rounding aside), and the
    // engine's clock runs at the standard clock's pace, in milliseconds.
    EXPECT_GE(elapsed, 39u);
    EXPECT_LE(elapsed, static_cast<uint64_t>(steadyElapsed) + 1);
    EXPECT_GE(elapsed + 10, static_cast<uint64_t>(steadyElapsed));
}

TEST(PlatformServices, InstalledClockIsUsedUntilTakenAway) {
    struct Virtual {
        uint64_t now = 1000;
        uint32_t slept = 0;
    } clock;
    KvSetTimeSource(
        [](uint32_t ms, void* context) {
            auto* c = static_cast<Virtual*>(context);
            c->slept += ms;
            c->now += ms;
        },
        [](void* context) { return static_cast<Virtual*>(context)->now; }, &clock);
    KvSleep(60000);  // returns at once
    EXPECT_EQ(KvNowMs(), 61000u);
    EXPECT_EQ(clock.slept, 60000u);
    KvSetTimeSource(nullptr, nullptr, nullptr);
    const uint64_t real = KvNowMs();
    KvSleep(5);
    EXPECT_GE(KvNowMs(), real + 4);
    EXPECT_EQ(clock.slept, 60000u);
}

#if !defined(_WIN32)
// Without a handler and without a screen, a question is answered No and never waits; the text
// is still shown to whoever reads the error stream. (On Windows the system's box is shown.)
TEST(PlatformServices, UnhandledQuestionIsAnsweredNo) {
    KvSetMessageBoxHandler(nullptr, nullptr);
    ::testing::internal::CaptureStderr();
    const int answer = KvMessageBox(0, "Erase the data flash?", "Cordane", MB_YESNO);
    const int plain = KvMessageBox(0, "Done.", "Cordane", MB_OK);
    const std::string shown = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer, IDNO);
    EXPECT_EQ(plain, IDOK);
    EXPECT_NE(shown.find("Cordane: Erase the data flash?"), std::string::npos);
}
#endif

}  // namespace
