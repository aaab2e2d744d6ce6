// Whole downloads to the 64 Kb readers against the scripted link: every frame's bytes, every
// pause and time-out, the callbacks in order, and the exit code.

#include <gmock/gmock.h>

#include <algorithm>
#include <regex>

#include "cordane/routines.h"
#include "harness.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace enginetest {
namespace {

using Bytes = std::vector<uint8_t>;

// The transcript without the bytes of each message.
std::vector<std::string> Outline(const Transcript& transcript) {
    std::vector<std::string> lines;
    static const std::regex sent(R"((ZrSendMessage #\d+ \[\d+\]).*)");
    for (const std::string& line : transcript.Lines()) {
        if (line.rfind("ZrGetMessage", 0) != 0 && line.rfind("ZrSendMessage", 0) != 0 &&
            line.rfind("Zr", 0) != 0 && line.rfind("Kv", 0) != 0 && line.rfind("Sleep", 0) != 0 &&
            line.rfind("MessageBox", 0) != 0) {
            continue;
        }
        lines.push_back(std::regex_replace(line, sent, "$1"));
    }
    return lines;
}

Bytes Padded(const uint8_t* routine, size_t n) {
    Bytes frame(routine, routine + n);
    frame.resize(241, 0);
    return frame;
}

Bytes Header(uint16_t length, uint8_t command, uint32_t start, uint32_t load) {
    return {static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length),
            command,
            static_cast<uint8_t>(start >> 16),
            static_cast<uint8_t>(start >> 8),
            static_cast<uint8_t>(start),
            static_cast<uint8_t>(load >> 16),
            static_cast<uint8_t>(load >> 8),
            static_cast<uint8_t>(load)};
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class SmallDownloadTest : public EngineTest {
  protected:
    // Runs a download of `image` to a reader of `type` whose loader answers `loader`.
    unsigned Download(eReaderType type, const Bytes& image, unsigned loader,
                      zrfake::Script script = {}) {
        script.resetResults.push_front(loader);
        zrfake::Reset(std::move(script));
        Prepare(client, type, WriteSrec("app.sre", image));
        return Run(client);
    }

    RecordingClient client{transcript};
};

TEST_F(SmallDownloadTest, RawDownloadOfThreeFramesIsByteExact) {
    const Bytes image = Pattern(2 + 385);
    ASSERT_EQ(Download(KvTal64, image, 0), 0u);

    EXPECT_THAT(
        Outline(transcript),
        ElementsAre("KvFinTelechargement 3 1000", "KvpBarSetRange 0 100", "KvpBarSetStep 1",
                    "KvpBarStepIt", "KvSetMessage Reboot && initialisation Loader...",
                    "ZrResetAndOpen port=0x00000001 -> 0x0", "Sleep 1", "ZrSendMessage #1 [241]",
                    "ZrGetMessage -> 0 [00]", "Sleep 10", "ZrSendMessage #2 [241]",
                    "ZrGetMessage -> 0 [00]", "KvSetMessage Downloading the application...",
                    "KvpBarStepIt", "Sleep 10", "ZrSendMessage #3 [65]", "Sleep 10",
                    "ZrGetMessage -> 0 [00]", "KvIsCanceled false", "Sleep 10",
                    "ZrSendMessage #4 [193]", "ZrGetMessage -> 0 [00]", "KvIsCanceled false",
                    "KvpBarStepIt", "KvpBarSetPos 50", "KvIsCanceled false", "Sleep 10",
                    "ZrSendMessage #5 [193]", "ZrGetMessage -> 0 [00]", "KvIsCanceled false",
                    "KvpBarStepIt", "KvpBarSetPos 100", "KvIsCanceled false", "Sleep 10",
                    "ZrSendMessage #6 [2]", "ZrGetMessage -> 0 [00]", "KvIsCanceled false",
                    "KvpBarSetPos 100", "KvIsCanceled false", "Sleep 10", "ZrSendMessage #7 [3]",
                    "ZrGetMessage -> 0 [00]", "KvIsCanceled false", "Sleep 10", "ZrTimeOut 20000",
                    "ZrSendMessage #8 [1]", "Sleep 100", "ZrGetMessage -> 0 [00]",
                    "KvpBarSetPos 100", "KvSetMessage Download completed.", "Sleep 2000",
                    "ZrClose 257", "KvFinTelechargement 0 (null)", "KvFinTelechargement 1 (null)"));

    const auto frames = zrfake::SentFrames();
    ASSERT_EQ(frames.size(), 8u);
    using namespace cordane::routines;
    EXPECT_EQ(frames[0], Padded(kEraseTal64.data(), kEraseTal64.size()));
    EXPECT_EQ(frames[1], Padded(kProgramTal64.data(), kProgramTal64.size()));
    // Descriptor: first payload byte at 0x2002, 2 blocks of 192, 1 byte more, signature of 2
    // bytes at 0x2000.
    Bytes descriptor(65, 0);
    descriptor[0] = 0x03, descriptor[1] = 0x02, descriptor[2] = 0x20, descriptor[5] = 2;
    descriptor[8] = 1, descriptor[10] = 0x20, descriptor[16] = 0x02;
    EXPECT_EQ(frames[2], descriptor);
    // Each data frame starts one byte before its block.
    EXPECT_EQ(frames[3], Bytes(image.begin() + 1, image.begin() + 194));
    EXPECT_EQ(frames[4], Bytes(image.begin() + 193, image.begin() + 386));
    EXPECT_EQ(frames[5], Bytes(image.begin() + 385, image.end()));
    EXPECT_EQ(frames[6], (Bytes{0x00, 'K', 'V'}));
    EXPECT_EQ(frames[7], Bytes{0x08});
    EXPECT_EQ(zrfake::OpenHandles(), 0u);
}

TEST_F(SmallDownloadTest, RawFirstFrameNamesTheReaderType) {
    ASSERT_EQ(Download(KvOrb64, Pattern(40), 0), 0u);
    const auto frames = zrfake::SentFrames();
    EXPECT_THAT(Bytes(frames[0].begin(), frames[0].begin() + 9),
                ElementsAre(0x01, 0xB4, 0xFF, 0xD9, 0x40, 0x04, 0xC5, 0x55, 0x55));
    EXPECT_EQ(frames[1][0], 0x02);
    EXPECT_EQ(frames[1], Padded(cordane::routines::kProgramOrb64Raw.data(), 72));
}

TEST_F(SmallDownloadTest, RawBlockBoundaries) {
    struct Case {
        size_t length;
        std::vector<size_t> dataFrames;
        uint8_t blocks, remainder;
    };
    for (const Case& c : {Case{2, {1}, 0, 0}, Case{2 + 192, {193}, 1, 0},
                          Case{2 + 384, {193, 193}, 2, 0}, Case{2 + 385, {193, 193, 2}, 2, 1}}) {
        SCOPED_TRACE(c.length);
        transcript.Clear();
        ASSERT_EQ(Download(KvTal64, Pattern(c.length), 0), 0u);
        const auto frames = zrfake::SentFrames();
        ASSERT_EQ(frames.size(), 2 + 1 + c.dataFrames.size() + 2);
        EXPECT_EQ(frames[2][5], c.blocks);
        EXPECT_EQ(frames[2][8], c.remainder);
        for (size_t i = 0; i < c.dataFrames.size(); ++i) {
            EXPECT_EQ(frames[3 + i].size(), c.dataFrames[i]);
        }
        EXPECT_EQ(client.positions.back(), 100);
    }
}

TEST_F(SmallDownloadTest, FramedDownloadOfTwoBlocksIsByteExact) {
    Bytes image = Pattern(300);
    ASSERT_EQ(Download(KvOrb64, image, 1), 0u);

    EXPECT_THAT(
        Outline(transcript),
        ElementsAre(
            "KvFinTelechargement 3 1000", "KvpBarSetRange 0 100", "KvpBarSetStep 1", "KvpBarStepIt",
            "KvSetMessage Reboot && initialisation Loader...",
            "ZrResetAndOpen port=0x00000001 -> 0x1", "KvSetMessage Erasing Flash memory...",
            "KvpBarStepIt", "ZrTimeOut 3000", "ZrSendMessage #1 [68]", "ZrGetMessage -> 0 [00]",
            "ZrTimeOut 3000", "Sleep 1", "ZrSendMessage #2 [87]", "ZrGetMessage -> 0 [00]",
            "KvpBarStepIt", "KvSetMessage Downloading the application...", "KvpBarSetPos 2",
            "Sleep 1", "ZrSendMessage #3 [264]", "ZrGetMessage -> 0 [00]", "KvIsCanceled false",
            "Sleep 1", "ZrSendMessage #4 [54]", "ZrGetMessage -> 0 [00]", "KvIsCanceled false",
            "KvIsCanceled false", "Sleep 1", "ZrSendMessage #5 [12]", "ZrGetMessage -> 0 [00]",
            "KvIsCanceled false", "Sleep 1", "ZrSendMessage #6 [9]", "ZrGetMessage -> 0 [00]",
            "KvpBarSetPos 100", "KvSetMessage Download completed.", "Sleep 2000", "ZrClose 257",
            "KvFinTelechargement 0 (null)", "KvFinTelechargement 1 (null)"));

    const auto frames = zrfake::SentFrames();
    using namespace cordane::routines;
    EXPECT_THAT(frames[0], ElementsAreArray(Cat(Header(59, 0, 0x080000, 0x080000),
                                                Bytes(kFlashErase.begin(), kFlashErase.end()))));
    EXPECT_THAT(Bytes(frames[0].begin(), frames[0].begin() + 9),
                ElementsAre(0x00, 0x3B, 0x00, 0x08, 0x00, 0x00, 0x08, 0x00, 0x00));
    EXPECT_EQ(frames[1], Cat(Header(78, 1, 0x080000, 0x080000),
                             Bytes(kProgramOrb64.begin(), kProgramOrb64.end())));
    // The first block carries FF FF in place of the signature.
    Bytes first(image.begin(), image.begin() + 255);
    first[0] = first[1] = 0xFF;
    EXPECT_EQ(frames[2], Cat(Header(255, 3, 0, 0x2000), first));
    EXPECT_EQ(frames[3], Cat(Header(45, 3, 0, 0x20FF), Bytes(image.begin() + 255, image.end())));
    EXPECT_EQ(frames[4], Cat(Header(2, 3, 0, 0x2000), Bytes{'K', 'V', 0x00}));
    EXPECT_EQ(frames[5], Header(0, 8, 0, 0));
    EXPECT_EQ(zrfake::OpenHandles(), 0u);
}

TEST_F(SmallDownloadTest, FramedKvTalSendsItsRoutinesPadded) {
    ASSERT_EQ(Download(KvTal64, Pattern(10), 1), 0u);
    const auto frames = zrfake::SentFrames();
    using namespace cordane::routines;
    EXPECT_EQ(frames[0], Cat(Header(241, 0, 0x080000, 0x080000),
                             Padded(kEraseTal64.data(), kEraseTal64.size())));
    EXPECT_EQ(frames[1], Cat(Header(241, 1, 0x080000, 0x080000),
                             Padded(kProgramTal64.data(), kProgramTal64.size())));
}

TEST_F(SmallDownloadTest, FramedBlockBoundaries) {
    struct Case {
        size_t length;
        std::vector<std::pair<size_t, uint32_t>> blocks;  // payload length, load address
        std::vector<int> positions;
    };
    for (const Case& c :
         {Case{255, {{255, 0x2000}}, {100}}, Case{256, {{255, 0x2000}, {1, 0x20FF}}, {2, 100}},
          Case{510, {{255, 0x2000}, {255, 0x20FF}}, {2, 100}},
          Case{
              766, {{255, 0x2000}, {255, 0x20FF}, {255, 0x21FE}, {1, 0x22FD}}, {2, 34, 67, 100}}}) {
        SCOPED_TRACE(c.length);
        client.positions.clear();
        ASSERT_EQ(Download(KvOrb64, Pattern(c.length), 1), 0u);
        const auto frames = zrfake::SentFrames();
        ASSERT_EQ(frames.size(), 2 + c.blocks.size() + 2);
        for (size_t i = 0; i < c.blocks.size(); ++i) {
            const Bytes& frame = frames[2 + i];
            EXPECT_EQ(frame.size(), 9 + c.blocks[i].first);
            EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 9),
                      Header(static_cast<uint16_t>(c.blocks[i].first), 3, 0, c.blocks[i].second));
        }
        EXPECT_EQ(frames[2][9], 0xFF);
        EXPECT_EQ(frames[2][10], 0xFF);
        EXPECT_EQ(client.positions, c.positions);
    }
}

// ---- Failures during the exchange.

struct Failure {
    const char* name;
    zrfake::Script script;
    unsigned exitCode;
    const char* message;  // null: no message expected
};

class SmallDownloadFailureTest : public SmallDownloadTest,
                                 public ::testing::WithParamInterface<unsigned> {};

TEST_P(SmallDownloadFailureTest, EachFailureEndsTheJobOnceWithItsStatus) {
    const unsigned loader = GetParam();
    auto reply = [](size_t frame, int result, Bytes bytes = {0}) {
        zrfake::Script script;
        script.replies[frame] = zrfake::Reply{0, result, std::move(bytes)};
        return script;
    };
    zrfake::Script sendFails;
    sendFails.sendResults[3] = 1;
    const std::vector<Failure> failures = {
        {"send fails", sendFails, 4, "Communication error."},
        {"fetch fails", reply(4, 9), 4, "Communication error."},
        {"no answer in time", reply(2, 6), 5, "No response from the reader."},
        {"loader refuses the erase routine", reply(1, 0, {0x21}), 0x21, "Download error."},
        {"loader status 5 is still a loader error", reply(4, 0, {0x05}), 5, "Download error."},
        {"empty answer", reply(3, 0, {}), 4, "Communication error."},
    };
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.name);
        transcript.Clear();
        boxes.clear();
        const unsigned code = Download(KvOrb64, Pattern(600), loader, failure.script);
        EXPECT_EQ(code, failure.exitCode);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0], std::string("Download error|") + failure.message + "|10|owner=4660");
        EXPECT_EQ(transcript.Count("KvFinTelechargement 1"), 1u);
        EXPECT_EQ(transcript.Count("KvFinTelechargement 0"), 0u);
        // The link is closed before the message, and the notice comes last.
        const int close = transcript.Find("ZrClose");
        const int box = transcript.Find("MessageBox");
        ASSERT_GE(close, 0);
        EXPECT_LT(close, box);
        EXPECT_EQ(transcript.Lines().back(), "KvFinTelechargement 1 (null)");
        EXPECT_EQ(zrfake::OpenHandles(), 0u);
        // Nothing is sent after the failed frame.
        const auto frames = zrfake::SentFrames();
        EXPECT_LE(frames.size(), 4u);
    }
}

TEST_P(SmallDownloadFailureTest, ManyPendingAnswersOnlyMeanWaitLonger) {
    zrfake::Script script;
    script.replies[1] = {1000, 0, {0}};
    EXPECT_EQ(Download(KvOrb64, Pattern(30), GetParam(), std::move(script)), 0u);
}

TEST_P(SmallDownloadFailureTest, SilentJobShowsNoMessage) {
    zrfake::Script script;
    script.replies[2] = {0, 6, {}};
    script.resetResults.push_back(GetParam());
    zrfake::Reset(std::move(script));
    Prepare(client, KvOrb64, WriteSrec("app.sre", Pattern(30)), KV_FLAG_SILENT);
    EXPECT_EQ(Run(client), 5u);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(client.flags & KV_FLAG_SILENT, 0u);
    EXPECT_EQ(transcript.Count("KvFinTelechargement 1"), 1u);
}

// Cancelling at each checked step ends with 6; before the signature frame's answer, the
// signature is never written.
TEST_P(SmallDownloadFailureTest, CancelAtEachCheckedStepLeavesNoSignature) {
    const unsigned loader = GetParam();
    ASSERT_EQ(Download(KvOrb64, Pattern(600), loader), 0u);
    const int queries = client.queries;  // the last one follows the signature frame's answer
    ASSERT_GT(queries, 3);
    for (int query = 1; query <= queries; ++query) {
        SCOPED_TRACE(query);
        transcript.Clear();
        boxes.clear();
        client.queries = 0;
        client.cancelAtQuery = query;
        const unsigned code = Download(KvOrb64, Pattern(600), loader);
        EXPECT_EQ(code, 6u);
        EXPECT_THAT(boxes, ElementsAre("Download error|Download cancelled.|10|owner=4660"));
        EXPECT_EQ(transcript.Count("KvFinTelechargement 1"), 1u);
        EXPECT_EQ(transcript.Count("KvFinTelechargement 0"), 0u);
        bool signed_ = false;
        for (const Bytes& frame : zrfake::SentFrames()) {
            signed_ |=
                loader == 0 ? frame == Bytes{0, 'K', 'V'} : frame.size() == 12 && frame[9] == 'K';
        }
        EXPECT_EQ(signed_, query == queries);
        EXPECT_EQ(zrfake::OpenHandles(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(BothLoaders, SmallDownloadFailureTest, ::testing::Values(0u, 1u),
                         [](const auto& info) { return info.param == 0 ? "Raw" : "Framed"; });

TEST_F(SmallDownloadTest, ProgressCountersFollowTheTransfer) {
    zrfake::Script script;
    char seen[32] = {};
    script.onFrame = [&](size_t frame) {
        if (frame == 5) UpdateDecompte(seen);  // after the second of three data frames is sent
    };
    ASSERT_EQ(Download(KvTal64, Pattern(2 + 385), 0, std::move(script)), 0u);
    EXPECT_STREQ(seen, "Progression : 49 %");  // 192 of 387 bytes acknowledged
    char text[32];
    UpdateDecompte(text);
    EXPECT_STREQ(text, "Progression : 100 %");
    SDK_UpdateDecompte(text);
    EXPECT_STREQ(text, "Progress per cent : 100 %");
}

}  // namespace
}  // namespace enginetest
