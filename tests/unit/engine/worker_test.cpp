// The worker's checks before a session and the ways it opens one.

#include <gmock/gmock.h>

#include "harness.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace enginetest {
namespace {

class WorkerTest : public EngineTest {
  protected:
    RecordingClient client{transcript};
    std::string app;
    void SetUp() override {
        EngineTest::SetUp();
        app = WriteSrec("app.sre", Pattern(100));
        Prepare(client, KvTal64, app);
    }
};

TEST_F(WorkerTest, PortWordsAcceptedAndRefused) {
    struct Case {
        int16_t word;
        bool accepted;
        uint32_t identifier;
    };
    for (const Case& c :
         {Case{static_cast<int16_t>(0x8000), true, 0x80000000u}, Case{256, true, 256},
          Case{static_cast<int16_t>(0x8062), true, 0x80000062u}, Case{0, false, 0},
          Case{257, false, 0}, Case{static_cast<int16_t>(0x8101), false, 0}}) {
        SCOPED_TRACE(c.word);
        transcript.Clear();
        boxes.clear();
        zrfake::Reset();
        client.portWord = c.word;
        const unsigned code = Run(client);
        if (c.accepted) {
            EXPECT_EQ(code, 0u);
            const auto calls = zrfake::Calls();
            ASSERT_FALSE(calls.empty());
            EXPECT_EQ(calls[0].port, c.identifier);
        } else {
            EXPECT_EQ(code, 1u);
            // The notice comes before the message, and nothing was started.
            EXPECT_THAT(transcript.Lines(),
                        ElementsAre("KvFinTelechargement 1 (null)",
                                    "MessageBox Download error|COM port number invalide.|10|"
                                    "owner=4660"));
            EXPECT_TRUE(zrfake::Calls().empty());
        }
    }
}

TEST_F(WorkerTest, MissingApplicationFileOfASmallReader) {
    Prepare(client, KvTal64, (dir / "absent.sre").string(), KV_FLAG_ERASE_CODE);
    EXPECT_EQ(Run(client), 1u);
    const auto lines = transcript.Lines();
    ASSERT_GE(lines.size(), 2u);
    // Message first, then the last notice; no session opened.
    EXPECT_EQ(lines[lines.size() - 2], "MessageBox Download error|Can not find the file " +
                                           (dir / "absent.sre").string() + "|10|owner=4660");
    EXPECT_EQ(lines.back(), "KvFinTelechargement 1 (null)");
    EXPECT_TRUE(zrfake::Calls().empty());

    transcript.Clear();
    boxes.clear();
    Prepare(client, KvTal64, (dir / "absent.sre").string(), KV_FLAG_SILENT);
    EXPECT_EQ(Run(client), 1u);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(transcript.Count("KvFinTelechargement 1"), 1u);
}

TEST_F(WorkerTest, ImagesASmallReaderCannotTakeAreRefusedBeforeTheSession) {
    struct Case {
        const char* name;
        std::string text;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"no data at or above 0x2000", "S00600004844521B\nS20800100001020304DD\nS9030000FC\n",
         "holds no data at or above address 0x2000"},
        {"one byte only", "S20500200000DA\nS804002000DB\n", "holds no data"},
        {"records out of order", "S2060020100102C6\nS2060020000304D2\nS804002000DB\n",
         "overlaps or comes before the previous record"},
        {"a record with a wrong checksum", "S2060020000102D0\nS804002000DB\n", "wrong checksum"},
        {"cut short at a line end", "S2060020000102D6\n", "no end record"},
        {"past the end of a 64 Kb reader's flash", "", "flash ends at 0xFFFF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        transcript.Clear();
        boxes.clear();
        zrfake::Reset();
        const std::string path =
            c.text.empty() ? WriteSrec("big.sre", Pattern(57345)) : WriteText("bad.sre", c.text);
        Prepare(client, KvOrb64, path);
        EXPECT_EQ(Run(client), 1u);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_THAT(boxes[0], HasSubstr(c.says));
        EXPECT_THAT(boxes[0], HasSubstr(path));
        EXPECT_TRUE(zrfake::Calls().empty());
        EXPECT_EQ(transcript.Lines().back(), "KvFinTelechargement 1 (null)");
    }
}

TEST_F(WorkerTest, LargestSmallImageIsAccepted) {
    // 0x2000-0xFFFF: 225 blocks of the addressed loader, the last one of 224 bytes.
    Prepare(client, KvOrb64, WriteSrec("max.sre", Pattern(57344)));
    zrfake::Script script;
    script.resetResults.push_back(1);
    zrfake::Reset(script);
    EXPECT_EQ(Run(client), 0u);
    EXPECT_EQ(zrfake::SentFrames().size(), 2u + 225u + 2u);
}

TEST_F(WorkerTest, FailedResetAndOpen) {
    struct Case {
        unsigned result;
        unsigned code;
        const char* message;
    };
    for (const Case& c :
         {Case{0xFF03, 3, "Error opening download session."},
          Case{0xFF05, 5, "No response from the reader."}, Case{0xFF06, 6, "Download cancelled."},
          Case{0xFF21, 0x21, "Download error."},
          // 0xFF00 carries no status; it must not end as a success.
          Case{0xFF00, 3, "Error opening download session."}}) {
        SCOPED_TRACE(c.result);
        transcript.Clear();
        boxes.clear();
        zrfake::Script script;
        script.resetResults.push_back(c.result);
        zrfake::Reset(script);
        EXPECT_EQ(Run(client), c.code);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0], std::string("Download error|") + c.message + "|10|owner=4660");
        EXPECT_EQ(transcript.Lines().back(), "KvFinTelechargement 1 (null)");
        EXPECT_TRUE(zrfake::SentFrames().empty());
    }
}

TEST_F(WorkerTest, UnknownLoaderDownloadsNothingAndSucceeds) {
    zrfake::Script script;
    script.resetResults.push_back(2);
    zrfake::Reset(script);
    EXPECT_EQ(Run(client), 0u);
    EXPECT_TRUE(zrfake::SentFrames().empty());
    const auto lines = transcript.Lines();
    EXPECT_THAT(
        std::vector<std::string>(lines.end() - 3, lines.end()),
        ElementsAre("ZrClose 257", "KvFinTelechargement 0 (null)", "KvFinTelechargement 1 (null)"));
}

TEST_F(WorkerTest, ReaderTypesOutsideTheTableAreSmallReaders) {
    client.readerType = static_cast<eReaderType>(42);
    EXPECT_EQ(Run(client), 0u);
    EXPECT_EQ(zrfake::Calls()[0].op, "ZrResetAndOpen");
}

TEST_F(WorkerTest, ModemReaderIsAskedForAndOpenedThroughTheModemReset) {
    client.readerType = KvTalModem;
    client.flags = KV_FLAG_ERASE_CODE;
    Run(client);
    EXPECT_EQ(transcript.Find("KvSetMessage Veuillez introduire le Kvprimer2 dans le lecteur..."),
              transcript.Find("KvpBarStepIt") + 1);
    const auto calls = zrfake::Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0].op, "ZrResetAndOpenKvTalModem");
    EXPECT_EQ(calls[1].value, int64_t{0x1234} * 100000 + 10000);  // owner window, 10 s
}

TEST_F(WorkerTest, LargeReaderFileChecks) {
    struct Case {
        const char* name;
        uint32_t flags;
        bool driverPresent, appPresent;
        const char* refusal;  // null: the session opens
    };
    const std::string driver = WriteSrec("driver.sre", Pattern(600), 0x4000);
    const std::string largeApp = WriteSrec("large-app.sre", Pattern(300), 0xE000);
    for (const Case& c :
         {Case{"flags 0 look for the driver", 0, false, true, "Can not find the file "},
          // The driver is not looked for with another bit set; reading it before the
          // session still finds it missing, before anything is erased.
          Case{"another bit set", KV_FLAG_ERASE_DATA_FLASH, false, true,
               "Error opening driver file."},
          Case{"the application is always looked for", KV_DOWNLOAD_BINARY, true, false,
               "Can not find the file "},
          Case{"both present", KV_FLAG_ERASE_DATA_FLASH, true, true, nullptr},
          Case{"erase code: no file is looked for", KV_FLAG_ERASE_CODE, false, false, nullptr}}) {
        SCOPED_TRACE(c.name);
        transcript.Clear();
        boxes.clear();
        zrfake::Reset();
        client.readerType = KvOrb512;
        client.flags = c.flags;
        std::snprintf(client.driverFile, sizeof client.driverFile, "%s",
                      c.driverPresent ? driver.c_str() : (dir / "nodriver").string().c_str());
        std::snprintf(client.applicationFile, sizeof client.applicationFile, "%s",
                      c.appPresent ? largeApp.c_str() : (dir / "noapp").string().c_str());
        const unsigned code = Run(client);
        if (c.refusal) {
            EXPECT_EQ(code, 1u);
            const auto lines = transcript.Lines();
            // For a large reader the notice comes first.
            EXPECT_EQ(lines[lines.size() - 2], "KvFinTelechargement 1 (null)");
            EXPECT_THAT(lines.back(), HasSubstr(c.refusal));
            EXPECT_TRUE(zrfake::Calls().empty());
        } else {
            const auto calls = zrfake::Calls();
            ASSERT_FALSE(calls.empty());
            EXPECT_EQ(calls[0].op, "ZrResetAndOpen512");
        }
    }
}

// GCC 12 at -O3 takes the cases' destruction for a use after free (a false positive).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif
TEST_F(WorkerTest, DiagnosticLoaderPath) {
    struct Case {
        const char* name;
        std::vector<int> openResults;
        zrfake::Reply probeReply;
        std::vector<std::string> debug;
        std::vector<int64_t> opens;  // a * 100000 + b of each ZrOpen
        bool reachesProcedure;
    };
    const std::vector<Case> cases = {
        {"reply 0",
         {},
         {0, 0, {0x00}},
         {"Debug LOAD ENTER!!!!!!!!\n", "Debug LOAD SRE ERR 2\n"},
         {2 * 100000 + 55, 200 * 100000 + 87, 2000 * 100000 + 23},
         true},
        {"reply 1",
         {},
         {0, 0, {0x01}},
         {"Debug LOAD ENTER!!!!!!!!\n", "Debug LOAD SRE ERR 3\n"},
         {2 * 100000 + 55, 200 * 100000 + 87, 2000 * 100000 + 55},
         true},
        {"no reply",
         {},
         {0, 6, {}},
         {"Debug LOAD ENTER!!!!!!!!\n", "Debug DBG RESPONSE = 6\n"},
         {2 * 100000 + 55, 200 * 100000 + 87},
         true},
        {"another reply",
         {},
         {0, 0, {0x07}},
         {"Debug LOAD ENTER!!!!!!!!\n", "Debug LOAD SRE ERR 4\n"},
         {2 * 100000 + 55, 200 * 100000 + 87},
         false},
        {"first open fails",
         {1},
         {},
         {"Debug LOAD ENTER!!!!!!!!\n", "Debug LOAD SRE ERR 0\n"},
         {2 * 100000 + 55},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        transcript.Clear();
        boxes.clear();
        zrfake::Script script;
        script.openResults.assign(c.openResults.begin(), c.openResults.end());
        script.replies[2] = c.probeReply;  // frame 1 is the EndSession, frame 2 the probe
        zrfake::Reset(script);
        client.readerType = KvOrb1Mb;
        client.flags = KV_FLAG_ERASE_CODE | KV_FLAG_DEBUG_LOAD;
        const unsigned code = Run(client);
        EXPECT_EQ(client.flags & KV_FLAG_DEBUG_LOAD, 0u);
        EXPECT_EQ(transcript.Only("Debug "), c.debug);
        std::vector<int64_t> opens;
        for (const auto& call : zrfake::Calls()) {
            if (call.op == "ZrOpen") opens.push_back(call.value);
        }
        EXPECT_EQ(opens, c.opens);
        if (!c.reachesProcedure) {
            // A failed diagnostic load is a failure, never exit code 0.
            EXPECT_NE(code, 0u);
            EXPECT_THAT(boxes, ElementsAre("Download error|Download error.|10|owner=4660"));
            EXPECT_EQ(transcript.Lines().back(), "KvFinTelechargement 1 (null)");
        }
        EXPECT_EQ(zrfake::OpenHandles(), 0u);
        if (c.opens.size() >= 2) {
            // An EndSession on the first link, then the probe byte on the second.
            const auto frames = zrfake::SentFrames();
            ASSERT_GE(frames.size(), 2u);
            EXPECT_EQ(frames[0], (std::vector<uint8_t>{0, 0, 8, 0, 0, 0, 0, 0, 0}));
            EXPECT_EQ(frames[1], std::vector<uint8_t>{0xC0});
        }
    }
}
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif

}  // namespace
}  // namespace enginetest
