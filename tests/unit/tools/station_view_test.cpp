// The views of a download to several ports: the JSON lines read back, the live block's rows and
// redraws, the plain lines and the summary.
#include "station/station_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/json_reader.h"
#include "cordane/exit_codes.h"
#include "download/port.h"
#include "download/verdict.h"

namespace cordane::tools {
namespace {

using korvel::base::ReadJsonObject;

TEST(JsonReaderTest, ReadsWhatTheJsonViewWritesAndRefusesTheRest) {
    // Every event the single-port view writes comes back as the same event.
    std::string text;
    const auto view = MakeJsonView([&](std::string_view piece) { text += piece; }, 57344);
    const std::vector<Event> sent = {events::Message{"Probl\xC3\xA8me \"a\"\n\x01"},
                                     events::Range{0, 200},
                                     events::Position{150},
                                     events::Notice{3, std::string("1000")},
                                     events::Notice{1, std::nullopt},
                                     events::Completion{"Download Error", 1},
                                     events::Box{"Cordane", "Erase the data flash?", true, true},
                                     events::Cancelling{}};
    for (const Event& event : sent) view->Show(event, 0);
    size_t start = 0;
    for (const Event& event : sent) {
        const size_t end = text.find('\n', start);
        const korvel::base::Expected<korvel::base::JsonObject> line =
            ReadJsonObject(text.substr(start, end - start));
        start = end + 1;
        ASSERT_TRUE(line.has_value());
        const std::optional<Event> back = EventFromJson(*line);
        ASSERT_TRUE(back.has_value());
        ASSERT_EQ(back->index(), event.index());
        if (const auto* message = std::get_if<events::Message>(&event)) {
            EXPECT_EQ(std::get<events::Message>(*back).text, message->text);
        } else if (const auto* notice = std::get_if<events::Notice>(&event)) {
            EXPECT_EQ(std::get<events::Notice>(*back).text, notice->text);
        } else if (std::holds_alternative<events::Box>(event)) {
            EXPECT_TRUE(std::get<events::Box>(*back).question);
            EXPECT_TRUE(std::get<events::Box>(*back).answeredYes);
        } else if (std::holds_alternative<events::Position>(event)) {
            EXPECT_EQ(std::get<events::Position>(*back).position, 150);
        }
    }
    EXPECT_EQ(ReadJsonObject(R"({"a":"\ud83d\ude00","b":-5})")->String("a"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(ReadJsonObject(R"({"a":"\ud83d\ude00","b":-5})")->Number("b"), -5);
    for (const char* bad :
         {"", "{", R"({"a":1,})", R"({"a":[1]})", R"({"a":{"b":1}})", R"({"a":"\ud800"})",
          R"({"a":99999999999999999999})", "{} x", "{\"a\":\"tab\there\"}", R"({"a":1.5})"}) {
        EXPECT_FALSE(ReadJsonObject(bad).has_value()) << bad;
    }
    EXPECT_FALSE(EventFromJson(*ReadJsonObject(R"({"event":"exit","code":0})")).has_value());
}

TEST(LineViewTest, RowsShowTheBarBytesSpeedTimeLeftAndResult) {
    PortRow row;
    row.port = "KORVEL01";
    row.reader = "KvOrb (64 Kb)";
    row.status = "Erasing Flash memory...";
    EXPECT_EQ(FormatPortRow(row, 8, 14, 100), "KORVEL01  KvOrb (64 Kb)   Erasing Flash memory...");
    row.barStarted = true;
    row.percent = 40;
    row.imageBytes = 57344;
    row.bytesPerSecond = 11200;
    row.secondsLeft = 3;
    EXPECT_EQ(FormatPortRow(row, 8, 14, 120),
              "KORVEL01  KvOrb (64 Kb)   [########------------]  40%  22,937 of 57,344 bytes  "
              "11.2 kB/s  0:03 left");
    row.exitCode = 4;
    EXPECT_EQ(FormatPortRow(row, 8, 14, 120),
              "KORVEL01  KvOrb (64 Kb)   [########------------]  40%  22,937 bytes  FAILED: "
              "communication error");
    // Never as wide as the terminal: a row that wrapped would break the block's redraw.
    EXPECT_EQ(FormatPortRow(row, 8, 14, 30).size(), 29u);
    row.status = "\xC3\xA9\xC3\xA9\xC3\xA9";
    row.barStarted = false;
    row.exitCode.reset();
    EXPECT_EQ(FormatPortRow(row, 8, 14, 28), "KORVEL01  KvOrb (64 Kb)   \xC3\xA9");
}

TEST(LineViewTest, LiveBlockIsRedrawnInPlaceOneFrameAtATime) {
    std::vector<std::string> writes;
    const auto view = MakeLiveStationView(
        {{"KORVEL01", 1, 7168}, {"KORVEL02", 1, 7168}},
        [&](std::string_view text) { writes.emplace_back(text); }, [] { return 100; });
    view->Line(0, R"({"event":"message","text":"Erasing Flash memory..."})", 1.0);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].find("\x1b["), 0u);  // the first frame moves nothing up
    EXPECT_NE(writes[0].find("KORVEL01  KvOrb (64 Kb)  Erasing Flash memory...\n"),
              std::string::npos);
    // Moves within the redraw period wait for the next frame; the next one goes back up two rows.
    view->Line(1, R"({"event":"range","lower":0,"upper":100})", 1.01);
    view->Line(1, R"({"event":"step","position":50,"percent":50,"bytes":3584})", 1.02);
    EXPECT_EQ(writes.size(), 1u);
    view->Tick(1.2);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1].rfind("\x1b[2A\r\x1b[J", 0), 0u);
    EXPECT_NE(
        writes[1].find("KORVEL02  KvOrb (64 Kb)  [##########----------]  50%  3,584 of 7,168"),
        std::string::npos);
    // A message box is printed above the block, in the same write as the block drawn again.
    view->Line(0,
               R"({"event":"messagebox","caption":"Cordane","text":"No answer","question":false})",
               1.25);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[2].rfind("\x1b[2A\r\x1b[JKORVEL01: Cordane: No answer\nKORVEL01", 0), 0u);
    view->Finished(1, 0, 0, 1.3);
    view->Finished(0, 5, 0, 1.3);
    EXPECT_NE(writes.back().find(
                  "KORVEL01  KvOrb (64 Kb)  Erasing Flash memory...  FAILED: no response\n"),
              std::string::npos);
    EXPECT_NE(writes.back().find("3,584 bytes  done\n"), std::string::npos);
    EXPECT_EQ(view->BytesSent(1), 3584u);
}

TEST(LineViewTest, PlainLinesJsonAndSummary) {
    std::string plain;
    const auto lines = MakePlainStationView({{"KORVEL01", 0, 1000}, {"COM3", 0, 1000}},
                                            [&](std::string_view text) { plain += text; });
    lines->Line(1, R"({"event":"message","text":"Erasing Flash memory..."})", 0);
    lines->Line(0, R"({"event":"error","text":"port KORVEL01 does not exist"})", 0);
    lines->Note(1, "warning: --identity is ignored", 0);
    lines->Finished(1, 0, 0, 0);
    // A job that found its reader's type names it; the summary takes it from there.
    lines->Line(
        0,
        R"({"event":"detected","reader_type":5,"name":"KvOrb1Mb","id_bytes":"05 01 48","image_bytes":4000})",
        0);
    EXPECT_EQ(lines->Reader(0), 5);
    EXPECT_EQ(lines->Reader(1), 0);
    // ... and the bytes of its part, from which the bytes sent follow.
    lines->Line(0, R"({"event":"range","lower":0,"upper":200})", 0);
    lines->Line(0, R"({"event":"position","position":50})", 0);
    EXPECT_EQ(lines->BytesSent(0), 1000u);
    EXPECT_EQ(plain,
              "COM3: Erasing Flash memory...\nKORVEL01: port KORVEL01 does not exist\n"
              "COM3: warning: --identity is ignored\nCOM3: completed (exit code 0)\n"
              "KORVEL01: progress: 25% (1,000 of 4,000 bytes)\n");

    EXPECT_EQ(WithPort(R"({"event":"exit","code":4})", "COM3"),
              R"({"event":"exit","port":"COM3","code":4})");

    PortOutcome first;
    first.port = "KORVEL01";
    first.reader = 1;
    first.exitCode = 0;
    first.result = "completed";
    first.seconds = 2.345;
    first.bytesSent = 57344;
    PortOutcome second = first;
    second.port = "KORVEL02";
    second.exitCode = 0x23;
    second.result = ResultText(0x23);  // as the job log stores it
    second.bytesSent.reset();
    EXPECT_EQ(FormatSummaryTable({first, second}),
              "port      reader         result                  exit  seconds       bytes\n"
              "KORVEL01  KvOrb (64 Kb)  completed                  0      2.3      57,344\n"
              "KORVEL02  KvOrb (64 Kb)  loader error 35 (0x23)    35      2.3           -\n");
    EXPECT_EQ(SummaryJson({first, second}, 35, 12),
              R"J({"event":"summary","jobs":[{"port":"KORVEL01","reader":1,"reader_name":)J"
              R"J("KvOrb (64 Kb)","result":"completed","code":0,"seconds":2.35,"bytes":57344},)J"
              R"J({"port":"KORVEL02","reader":1,"reader_name":"KvOrb (64 Kb)","result":)J"
              R"J("loader error 35 (0x23)","code":35,"seconds":2.35,"bytes":null}],"code":35,)J"
              R"J("parent_cpu_ms":12})J"
              "\n");
}

}  // namespace
}  // namespace cordane::tools

namespace cordane::tools {
namespace {

TEST(VerdictTest, ALongPathKeepsTheWholeLastLine) {
    // A device path, given with --port, is as long as the user makes it: the verdict names it
    // whole, and still ends with its line end.
    PortChoice port;
    port.throughPath = true;
    port.device = "/dev/serial/by-path/" + std::string(600, 'p');
    DownloadOptions options;
    options.reader = 1;
    options.application = "app.sre";
    const std::string done = Verdict(kExitOk, options, port);
    EXPECT_EQ(done, "cordane download: download completed: app.sre is in the reader on " +
                        port.device + "\n");
}

}  // namespace
}  // namespace cordane::tools
