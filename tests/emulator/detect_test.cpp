// Reader detection end to end: `cordane detect` through the real link, over the pseudo-terminal of
// korvel-sim, for every reader type and for readers that open late, never or answer short.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cordane/readers.h"
#include "emulator_support.h"

namespace {

using emulatortest::ReadReady;
using emulatortest::ReadText;
using emulatortest::Simulator;
using emulatortest::StopRequest;
using emulatortest::TempDir;

const std::string kCordane = std::string(KORVEL_BINARY_DIR) + "/bin/cordane";
constexpr char kFailure[] =
    "Problèmes de dialogue avec le lecteur.\nVérifier que celui-ci est correctement connecté.";

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
    std::string transcript;  // the emulator's, one JSON line per frame it received
};

// One korvel-sim of `type` with `simArgs`, and one `cordane detect --json` against it.
Outcome Detect(int type, std::vector<std::string> simArgs = {},
               const std::vector<std::string>& detectArgs = {}) {
    TempDir dir;
    Outcome run;
    const std::string transcript = dir.path() + "/frames.jsonl";
    std::vector<std::string> args = {
        "--reader",    std::to_string(type), "--virtual",    "4",
        "--ports-dir", dir.path(),           "--transcript", transcript};
    args.insert(args.end(), simArgs.begin(), simArgs.end());
    Simulator sim(args);
    if (!sim.Started() || !ReadReady(sim)) {
        ADD_FAILURE() << "korvel-sim --reader " << type << " did not start";
        return run;
    }
    std::vector<std::string> detect = {"detect", "--port", "KORVEL04", "--json"};
    detect.insert(detect.end(), detectArgs.begin(), detectArgs.end());
    const korvel::testkit::Outcome ran =
        korvel::testkit::RunToEnd({.program = kCordane,
                                   .arguments = std::move(detect),
                                   .environment = {{"KORVEL_PORTS_DIR", dir.path()}}},
                                  std::chrono::seconds(30));
    run.code = ran.code;
    run.out = ran.out;
    run.err = ran.err;
    sim.Stop(StopRequest::Terminate);
    sim.Wait();  // the transcript is flushed by now
    run.transcript = ReadText(transcript);
    return run;
}

// Every detection that opened ends its session with the end frame, once, as its last frame.
void ExpectEndFrameLast(const Outcome& run) {
    EXPECT_EQ(Count(run.transcript, "\"kind\":\"end-session\""), 1u) << run.transcript;
    const size_t last = run.transcript.rfind("{\"session\"");
    EXPECT_NE(run.transcript.find("\"kind\":\"end-session\"", last), std::string::npos)
        << run.transcript;
}

TEST(DetectTest, EveryLargeReaderIsFoundAsItselfThroughTheLink) {
    for (int type = 2; type <= 9; ++type) {
        SCOPED_TRACE("reader type " + std::to_string(type));
        const Outcome run = Detect(type, {}, {"--debug-file", "/dev/null"});
        // The KvTalModem answers as the KvTal (512 Kb) it is built on: the decision has no 7.
        const int expected = type == 7 ? 3 : type;
        const std::string name = cordane::ReaderName(static_cast<eReaderType>(expected));
        EXPECT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(run.out.rfind("{\"reader_type\":" + std::to_string(expected) + ",\"name\":\"" +
                                    name + "\",\"id_bytes\":\"",
                                0),
                  0u)
            << run.out;
        // 7,138 loader bytes: 29 chunks of 240 and one of 178, then the start and two reads.
        EXPECT_EQ(Count(run.transcript, "\"kind\":\"load-routine\""), 30u);
        EXPECT_NE(run.transcript.find("\"address\":\"0x81B30\",\"length\":187,\"answer\":0"),
                  std::string::npos);
        EXPECT_NE(run.transcript.find("\"kind\":\"run-routine\",\"address\":\"0x80000\","
                                      "\"length\":10,\"answer\":0"),
                  std::string::npos);
        EXPECT_EQ(Count(run.transcript, "\"kind\":\"read-memory\""), 2u);
        ExpectEndFrameLast(run);
    }

    // A 64 Kb reader refuses the light reset: three open calls, then the failure, exit code 3,
    // and the reason names the port as given and the way to download to such a reader.
    const Outcome small = Detect(0);
    EXPECT_EQ(small.code, 3);
    EXPECT_NE(small.err.find(kFailure), std::string::npos) << small.err;
    EXPECT_NE(small.err.find("port KORVEL04: the reader refused the light reset (3 tries), as the "
                             "64 Kb readers do: they cannot be detected; to download to a 64 Kb "
                             "reader, give its type: --reader 0 (KvTal (64 Kb)) or --reader 1"),
              std::string::npos)
        << small.err;
    EXPECT_EQ(small.err.find("0x"), std::string::npos) << small.err;
    EXPECT_EQ(Count(small.transcript, "\"kind\":\"reset\""), 3u);
    EXPECT_EQ(small.transcript.find("end-session"), std::string::npos);
}

TEST(DetectTest, OpensLateNeverOrAnswersShortAndFailsCleanly) {
    // Two refused resets: the third call opens and the reader is found.
    const Outcome late = Detect(9, {"--fail-open", "2"}, {"--timing"});
    EXPECT_EQ(late.code, 0) << late.err;
    EXPECT_EQ(late.out.rfind("{\"reader_type\":9,", 0), 0u) << late.out;
    EXPECT_NE(late.err.find("(3 open call(s))"), std::string::npos) << late.err;

    // Three: no session was opened, nothing else is sent; the message, exit code 3.
    const Outcome never = Detect(5, {"--fail-open", "3"});
    EXPECT_EQ(never.code, 3);
    EXPECT_NE(never.err.find(kFailure), std::string::npos) << never.err;
    EXPECT_NE(never.out.find("\"error\":"), std::string::npos) << never.out;
    EXPECT_EQ(never.out.find("reader_type"), std::string::npos) << never.out;
    EXPECT_EQ(Count(never.transcript, "\"kind\":\"reset\""), 3u);
    EXPECT_EQ(never.transcript.find("load-routine"), std::string::npos);

    // A second answer of 2 bytes where 7 are read, and a first answer of 1 byte: failed
    // detections, never a guess; the session still ends with its end frame.
    const std::pair<const char*, const char*> cases[] = {
        {"0500:4800", "the read of 7 bytes at 0x0F001 got 2 byte(s)"},
        {"05:48000000000000", "the read of 2 bytes at 0x01000 got 1 byte(s)"},
    };
    for (const auto& [bytes, detail] : cases) {
        SCOPED_TRACE(bytes);
        const Outcome shortAnswer = Detect(5, {"--id-bytes", bytes});
        EXPECT_EQ(shortAnswer.code, 4);
        EXPECT_NE(shortAnswer.err.find(kFailure), std::string::npos) << shortAnswer.err;
        EXPECT_NE(shortAnswer.err.find(detail), std::string::npos) << shortAnswer.err;
        EXPECT_EQ(shortAnswer.out.find("reader_type"), std::string::npos) << shortAnswer.out;
        ExpectEndFrameLast(shortAnswer);
    }
}

}  // namespace
