#include <gtest/gtest.h>

#include <chrono>
#include <string_view>
#include <vector>

#include "sim/answer_timing.h"
#include "sim/sim_options.h"

namespace korvel::sim {
namespace {

using std::chrono::milliseconds;

SimClock::time_point At(SimClock::duration since) {
    return SimClock::time_point(since);
}

AnswerTiming TimingOf(std::vector<std::string_view> args) {
    const base::Expected<ParsedOptions> parsed = ParseOptions(args);
    EXPECT_TRUE(parsed && parsed->options) << (parsed ? "" : parsed.error().message);
    const SimOptions options = parsed ? parsed->options.value_or(SimOptions{}) : SimOptions{};
    return AnswerTiming(options.delayMs, options.baud, options.latencyMs);
}

TEST(AnswerTimingTest, AnAdaptersTimerHoldsEachAnswerToItsNextTick) {
    const milliseconds tick{16};
    EXPECT_EQ(NextTick(At(milliseconds(32)), tick), At(milliseconds(32)));  // on a tick: at once
    EXPECT_EQ(NextTick(At(milliseconds(33)), tick), At(milliseconds(48)));
    EXPECT_EQ(NextTick(At(milliseconds(47)), tick), At(milliseconds(48)));
    EXPECT_EQ(NextTick(At(milliseconds(48) + std::chrono::nanoseconds(1)), tick),
              At(milliseconds(64)));
    EXPECT_EQ(NextTick(At(milliseconds(33)), SimClock::duration::zero()), At(milliseconds(33)));

    // --latency as the command line gives it: loader answers and LoaderReady alike are held.
    AnswerTiming latency = TimingOf({"--reader", "5", "--com", "1", "--latency", "16"});
    EXPECT_FALSE(latency.Immediate());
    EXPECT_EQ(latency.Due(9, true, At(milliseconds(100))), At(milliseconds(112)));
    EXPECT_EQ(latency.Due(10, false, At(milliseconds(112))), At(milliseconds(112)));

    // The timer runs on what reaches the adapter: after the loader's delay and the line time.
    AnswerTiming delayed =
        TimingOf({"--reader", "5", "--com", "1", "--latency", "16", "--delay", "5"});
    EXPECT_EQ(delayed.Due(9, true, At(milliseconds(110))), At(milliseconds(128)));
    AnswerTiming paced =
        TimingOf({"--reader", "5", "--com", "1", "--latency", "16", "--baud", "10000"});
    paced.Received(10, At(milliseconds(100)));  // 1 ms a byte: the request ends at 110 ms
    EXPECT_EQ(paced.Due(9, true, At(milliseconds(100))), At(milliseconds(128)));  // 119 ms out

    EXPECT_TRUE(TimingOf({"--reader", "5", "--com", "1"}).Immediate());
    EXPECT_TRUE(TimingOf({"--reader", "5", "--com", "1", "--latency", "0"}).Immediate());
}

}  // namespace
}  // namespace korvel::sim
