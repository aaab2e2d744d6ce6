// The progress events of a download and the three ways they are shown.
#include "progress/views.h"

#include "base/json_writer.h"
#include "base/text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace cordane::tools {
namespace {

using korvel::base::JsonString;

Event Range(int lower, int upper) {
    return events::Range{lower, upper};
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

TEST(JsonStringTest, EscapesWhatJsonRequiresAndKeepsValidUtf8) {
    EXPECT_EQ(JsonString("Reboot && initialisation Loader..."),
              R"("Reboot && initialisation Loader...")");
    EXPECT_EQ(JsonString("a\"b\\c\nd\re\tf\x01g\x1f"), R"("a\"b\\c\nd\re\tf\u0001g\u001f")");
    EXPECT_EQ(JsonString(std::string_view("nul\0here", 8)), R"("nul\u0000here")");
    // Two, three and four byte sequences pass unchanged.
    EXPECT_EQ(JsonString("Problème €5 \xF0\x9F\x98\x80"), "\"Problème €5 \xF0\x9F\x98\x80\"");
}

TEST(JsonStringTest, ReplacesEveryByteOfBrokenUtf8) {
    // A path in Latin-1, a stray continuation byte, a sequence cut off at the end, an overlong
    // '/', a surrogate and a code point above U+10FFFF: none may reach a JSON reader as is.
    EXPECT_EQ(JsonString("caf\xE9.sre"), R"("caf\ufffd.sre")");
    EXPECT_EQ(JsonString("\x80x"), R"("\ufffdx")");
    EXPECT_EQ(JsonString("end\xC3"), R"("end\ufffd")");
    EXPECT_EQ(JsonString("\xE2\x82"), R"("\ufffd\ufffd")");
    EXPECT_EQ(JsonString("\xC0\xAF"), R"("\ufffd\ufffd")");
    EXPECT_EQ(JsonString("\xED\xA0\x80"), R"("\ufffd\ufffd\ufffd")");
    EXPECT_EQ(JsonString("\xF4\x90\x80\x80"), R"("\ufffd\ufffd\ufffd\ufffd")");
}

TEST(BarStateTest, FollowsRangeStepAndPosition) {
    BarState bar;
    EXPECT_FALSE(bar.started());
    bar.Apply(Range(0, 100));
    bar.Apply(events::StepSize{1});
    bar.Apply(events::StepIt{});
    bar.Apply(events::StepIt{});
    EXPECT_TRUE(bar.started());
    EXPECT_EQ(bar.Percent(), 2);
    bar.Apply(events::Position{57});
    EXPECT_EQ(bar.Percent(), 57);
    // A step never runs the bar past its end; positions outside the range show as its ends.
    bar.Apply(events::StepSize{60});
    bar.Apply(events::StepIt{});
    EXPECT_EQ(bar.position(), 100);
    bar.Apply(events::Position{250});
    EXPECT_EQ(bar.Percent(), 100);
    bar.Apply(events::Position{-5});
    EXPECT_EQ(bar.Percent(), 0);

    bar.Apply(Range(200, 400));
    bar.Apply(events::Position{300});
    EXPECT_EQ(bar.Percent(), 50);
    bar.Apply(Range(5, 5));  // an empty range must not divide by zero
    EXPECT_EQ(bar.Percent(), 0);
}

TEST(TimeLeftTest, EstimatesFromThePaceAndCountsDown) {
    TimeLeft left;
    EXPECT_FALSE(left.Seconds(0));
    left.Update(2, 10.0);
    EXPECT_FALSE(left.Seconds(10.5));  // no movement yet
    left.Update(12, 11.0);             // 10 % a second
    ASSERT_TRUE(left.Seconds(11.0));
    EXPECT_DOUBLE_EQ(*left.Seconds(11.0), 8.8);
    EXPECT_DOUBLE_EQ(*left.Seconds(12.0), 7.8);
    EXPECT_DOUBLE_EQ(*left.Seconds(30.0), 0.0);  // late, but never negative
    left.Update(12, 40.0);                       // a repeated position is no news
    EXPECT_DOUBLE_EQ(*left.Seconds(30.0), 0.0);
}

TEST(FormatBarLineTest, ShowsPercentBytesAndTimeWithinTheWidth) {
    EXPECT_EQ(FormatBarLine(40, 57344, 3.2, 80),
              "[##############-----------------------]  40%  22,937 of 57,344 bytes  0:04 left");
    EXPECT_EQ(FormatBarLine(100, 0, std::nullopt, 30), "[" + std::string(22, '#') + "] 100%");
    EXPECT_EQ(FormatBarLine(5, 0, 3725.0, 200).substr(42), "   5%  1:02:05 left");
    for (int width = 1; width <= 120; ++width) {
        const std::string line = FormatBarLine(63, 1 << 20, 99.0, width);
        EXPECT_LT(static_cast<int>(line.size()), std::max(width, 2)) << "width " << width;
    }
    EXPECT_EQ(FormatBarLine(63, 57344, std::nullopt, 30), "63%  36,126 of 57,344 bytes");
}

TEST(GroupDigitsTest, GroupsThousands) {
    using korvel::base::GroupDigits;
    EXPECT_EQ(GroupDigits(0), "0");
    EXPECT_EQ(GroupDigits(999), "999");
    EXPECT_EQ(GroupDigits(1000), "1,000");
    EXPECT_EQ(GroupDigits(57344), "57,344");
    EXPECT_EQ(GroupDigits(1234567890), "1,234,567,890");
}

TEST(EventQueueTest, HandsEventsOverInOrderAndRaisesItsWakeup) {
    korvel::base::Expected<korvel::base::Wakeup> wakeup = korvel::base::Wakeup::Create();
    ASSERT_TRUE(wakeup);
    EventQueue queue(std::move(*wakeup));
    // Whether the queue's wake-up is raised within `patience`.
    auto raised = [&queue](int patience) {
        const korvel::base::Waitable items[] = {queue.wakeup()};
        const auto ready = korvel::base::WaitForAny(items, std::chrono::milliseconds(patience));
        return ready && (*ready)[0];
    };
    EXPECT_FALSE(raised(0));
    // Bar movements wait for the next look without waking the consumer.
    for (int i = 0; i < 10; ++i) queue.Push(events::Position{i});
    EXPECT_FALSE(raised(0));
    EXPECT_EQ(queue.Drain().size(), 10u);

    std::thread worker([&queue] {
        for (int i = 0; i < 1000; ++i) {
            queue.Push(i % 10 == 9 ? Event(events::Message{std::to_string(i)})
                                   : Event(events::Position{i}));
        }
    });
    std::vector<Event> received;
    while (received.size() < 1000) {
        ASSERT_TRUE(raised(5000));
        for (Event& event : queue.Drain()) received.push_back(std::move(event));
    }
    worker.join();
    for (int i = 0; i < 1000; ++i) {
        const auto* position = std::get_if<events::Position>(&received[i]);
        ASSERT_EQ(position ? std::to_string(position->position)
                           : std::get<events::Message>(received[i]).text,
                  std::to_string(i));
    }
    EXPECT_FALSE(raised(0));  // drained: no longer raised
    EXPECT_TRUE(queue.Drain().empty());
}

TEST(JsonViewTest, WritesOneObjectPerEventAndEndsWithTheExitCode) {
    std::string out;
    auto view = MakeJsonView([&out](std::string_view text) { out += text; }, 7168);
    const Event started = events::Notice{3, "1000"};
    const Event over = events::Notice{1, std::nullopt};
    const Event question = events::Box{"Download", "Erase the data flash?", true, false};
    const Event error = events::Box{"Download error", "No response from the reader.", false, false};
    const std::vector<Event> events = {
        started,
        Range(0, 100),
        events::StepSize{1},
        events::StepIt{},
        events::Message{"Reboot && initialisation Loader..."},
        events::Output{"\nConversion fichier ...     "},
        events::Position{50},
        question,
        error,
        events::Cancelling{},
        over,
        events::Completion{"Download Error", 1},
    };
    for (const Event& event : events) view->Show(event, 0);
    view->Finish(5);
    const std::vector<std::string> expected = {
        R"({"event":"notice","code":3,"text":"1000"})",
        R"({"event":"range","lower":0,"upper":100})",
        R"({"event":"step-size","step":1})",
        R"({"event":"step","position":1,"percent":1,"bytes":71})",
        R"({"event":"message","text":"Reboot && initialisation Loader..."})",
        R"({"event":"output","text":"\nConversion fichier ...     "})",
        R"({"event":"position","position":50,"percent":50,"bytes":3584})",
        R"({"event":"messagebox","caption":"Download","text":"Erase the data flash?","question":true,"answer":"no"})",
        R"({"event":"messagebox","caption":"Download error","text":"No response from the reader.","question":false})",
        R"({"event":"cancelling"})",
        R"({"event":"notice","code":1,"text":null})",
        R"({"event":"completion","text":"Download Error","code":1})",
        R"({"event":"exit","code":5})",
    };
    EXPECT_EQ(Lines(out), expected);
    EXPECT_EQ(out.back(), '\n');
}

TEST(TerminalViewTest, KeepsTheBarOnItsLineAndPrintsMessagesAboveIt) {
    std::string out;
    auto view =
        MakeTerminalView([&out](std::string_view text) { out += text; }, 0, [] { return 40; });
    view->Show(events::Message{"Reboot && initialisation Loader..."}, 0);
    EXPECT_EQ(out, "Reboot && initialisation Loader...\n");  // no bar before its range
    out.clear();
    view->Show(Range(0, 100), 0);
    view->Show(events::Output{"\nConversion fichier ...     "}, 0);
    view->Show(events::Position{30}, 1);
    view->Tick(1);  // nothing changed: nothing written
    view->Show(events::Message{"Download completed."}, 2);
    view->Finish(0);
    // Appended piece by piece: GCC 12 at -O3 warns wrongly about a literal + string.
    std::string bar0 = "[";
    bar0.append(32, '-').append("]   0%");
    std::string bar30 = "[";
    bar30.append(9, '#').append(23, '-').append("]  30%");
    EXPECT_EQ(out, "\r\x1b[K" + bar0 + "\r\x1b[KConversion fichier ...\n\r\x1b[K" + bar0 +
                       "\r\x1b[K" + bar30 + "\r\x1b[KDownload completed.\n\r\x1b[K" + bar30 + "\n");
}

TEST(PlainViewTest, PrintsMessagesAndEachTenthOfTheWay) {
    std::string out;
    auto view = MakePlainView([&out](std::string_view text) { out += text; }, 1000);
    view->Show(Range(0, 100), 0);
    view->Show(events::Message{"Downloading the application..."}, 0);
    for (int percent : {2, 5, 9, 10, 11, 25, 26, 100}) {
        view->Show(events::Position{percent}, 0);
    }
    const Event box = events::Box{"Download error", "Download cancelled.", false, false};
    view->Show(box, 0);
    view->Finish(6);
    EXPECT_EQ(Lines(out), (std::vector<std::string>{
                              "Downloading the application...",
                              "progress: 10% (100 of 1,000 bytes)",
                              "progress: 25% (250 of 1,000 bytes)",
                              "progress: 100% (1,000 of 1,000 bytes)",
                              "Download error: Download cancelled.",
                          }));
}

}  // namespace
}  // namespace cordane::tools
