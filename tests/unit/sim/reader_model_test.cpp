// The reader as the host sees it through wire frames: resets, sessions, leaving the loader and
// injected faults.
#include <gtest/gtest.h>

#include <string>

#include "sim/reader_model.h"
#include "sim_test_support.h"

namespace korvel::sim {
namespace {

using simtest::Bytes;
using wire::Kind;

class Recorder : public ReaderObserver {
  public:
    void OnFrame(const TranscriptEntry& entry) override { entries.push_back(entry); }
    void OnSessionEnd(SessionEnd why) override { ends.push_back(why); }

    std::vector<TranscriptEntry> entries;
    std::vector<SessionEnd> ends;
};

wire::Frame Frame(Kind kind, Bytes payload = {}) {
    return {kind, std::move(payload)};
}

// The payload of the single frame in `reply`, checking its kind.
Bytes PayloadOf(const Reply& reply, Kind kind) {
    wire::Decoder decoder;
    decoder.Feed(reply.bytes.data(), reply.bytes.size());
    wire::Frame frame;
    if (!decoder.Next(frame)) {
        ADD_FAILURE() << "no frame in the reply";
        return {};
    }
    EXPECT_EQ(frame.kind, kind);
    EXPECT_FALSE(decoder.Next(frame)) << "more than one frame in the reply";
    return frame.payload;
}

struct ReaderRig {
    explicit ReaderRig(int type, LoaderKind loader = LoaderKind::Raw, FaultPlan faults = {})
        : reader(*FindLayout(type), loader, std::move(faults)) {
        reader.SetObserver(&recorder);
    }
    Bytes Reset(uint8_t mode = 0) {
        return PayloadOf(reader.Take(Frame(Kind::ResetLoader, {mode})), Kind::LoaderReady);
    }
    Reply Send(const Bytes& loaderFrame) { return reader.Take(Frame(Kind::Message, loaderFrame)); }
    // The status byte answering `loaderFrame`; -1 when nothing came back.
    int Answer(const Bytes& loaderFrame) {
        const Reply reply = Send(loaderFrame);
        if (reply.bytes.empty()) return -1;
        const Bytes payload = PayloadOf(reply, Kind::Message);
        return payload.size() == 1 ? payload[0] : -2;
    }

    Recorder recorder;
    ReaderModel reader;
};

TEST(ReaderModelTest, ResetNamesTheLoaderOrRefusesAResetMeantForOtherReaders) {
    ReaderRig raw(0, LoaderKind::Raw);
    EXPECT_EQ(raw.Reset(0), (Bytes{0x00, 0x00}));
    ReaderRig addressed(1, LoaderKind::Addressed);
    EXPECT_EQ(addressed.Reset(0), (Bytes{0x00, 0x01}));
    EXPECT_EQ(addressed.Reset(1), (Bytes{status::kResetRefused, 0x00}));  // large reset
    EXPECT_FALSE(addressed.reader.LoaderRunning());
    EXPECT_EQ(addressed.Answer(simtest::EraseRoutine(1)), -1);
    EXPECT_EQ(addressed.Reset(9), (Bytes{status::kResetMalformed, 0x00}));
    EXPECT_EQ(PayloadOf(addressed.reader.Take(Frame(Kind::ResetLoader, {})), Kind::LoaderReady),
              (Bytes{status::kResetMalformed, 0x00}));
}

TEST(ReaderModelTest, FullWireSessionKeepsTheFlashForTheNextSession) {
    ReaderRig rig(0, LoaderKind::Addressed);
    const Bytes image = simtest::TestImage(700);
    rig.Reset();
    for (const Bytes& frame : simtest::AddressedSession(0, image)) ASSERT_EQ(rig.Answer(frame), 0);
    EXPECT_EQ(rig.recorder.ends, std::vector<SessionEnd>{SessionEnd::EndFrame});
    EXPECT_EQ(rig.reader.Flash().Dump(), simtest::ExpectedDump(image));

    // A second session writing without an erase meets the programmed bits.
    rig.Reset();
    EXPECT_EQ(rig.reader.Session(), 2u);
    ASSERT_EQ(rig.Answer(simtest::ProgramRoutine(0)), 0);
    EXPECT_EQ(rig.Answer(simtest::Write(0x2002, Bytes{0xFF})), status::kNotErased);
    EXPECT_EQ(rig.reader.Flash().Dump(), simtest::ExpectedDump(image));
}

TEST(ReaderModelTest, AfterLeaveLoaderNothingIsAnsweredUntilTheNextReset) {
    ReaderRig rig(0);
    const auto frames = simtest::RawSession(0, simtest::TestImage(10));
    rig.Reset();
    ASSERT_EQ(rig.Answer(frames[0]), 0);
    EXPECT_TRUE(rig.reader.Take(Frame(Kind::LeaveLoader)).bytes.empty());
    EXPECT_EQ(rig.recorder.ends, std::vector<SessionEnd>{SessionEnd::Leave});
    EXPECT_EQ(rig.Answer(frames[1]), -1);
    EXPECT_EQ(rig.recorder.entries.back().kind, "ignored");
    EXPECT_FALSE(rig.recorder.entries.back().answer.has_value());
    // A new reset starts the raw sequence from its first frame.
    rig.Reset();
    EXPECT_EQ(rig.Answer(frames[1]), status::kBadFrame);
    EXPECT_EQ(rig.Answer(frames[0]), 0);
}

TEST(ReaderModelTest, SessionsEndOnceEachAndAnUntouchedSessionIsReplacedSilently) {
    ReaderRig rig(1, LoaderKind::Addressed);
    rig.Reset();
    rig.Reset();  // a resent reset: the first session saw no frame
    EXPECT_TRUE(rig.recorder.ends.empty());
    ASSERT_EQ(rig.Answer(simtest::EraseRoutine(1)), 0);
    rig.Reset();
    rig.reader.HostClosed();
    rig.reader.HostClosed();
    rig.reader.Exit();
    EXPECT_EQ(rig.recorder.ends,
              (std::vector<SessionEnd>{SessionEnd::Reset, SessionEnd::HostClosed}));
    EXPECT_FALSE(rig.reader.LoaderRunning());
}

TEST(ReaderModelTest, InjectedFaultsHitTheSameFrameOfEverySession) {
    FaultPlan faults{{2, {FaultKind::Fail, 0x33}}, {3, {FaultKind::Drop, 0}}};
    ReaderRig rig(0, LoaderKind::Addressed, faults);
    for (int session = 0; session < 2; ++session) {
        rig.Reset();
        EXPECT_EQ(rig.Answer(simtest::EraseRoutine(0)), 0);
        EXPECT_EQ(rig.Answer(simtest::ProgramRoutine(0)), 0x33);
        // Frame 2 was answered but not taken: the write is refused for want of the routine.
        EXPECT_EQ(rig.Answer(simtest::Write(0x2000, Bytes{1})), -1);  // frame 3 dropped
        EXPECT_EQ(rig.Answer(simtest::Write(0x2000, Bytes{1})), status::kWriteBeforeProgram);
    }
    const TranscriptEntry& dropped = rig.recorder.entries[rig.recorder.entries.size() - 2];
    EXPECT_EQ(dropped.index, 3u);
    EXPECT_EQ(dropped.kind, "write-block");
    EXPECT_FALSE(dropped.answer.has_value());
    EXPECT_EQ(rig.reader.Flash().Read(0x2000), 0xFF);
}

TEST(ReaderModelTest, InjectedHangUpEndsTheSessionWithoutAnAnswer) {
    ReaderRig rig(0, LoaderKind::Raw, {{2, {FaultKind::HangUp, 0}}});
    const auto frames = simtest::RawSession(0, simtest::TestImage(10));
    rig.Reset();
    ASSERT_EQ(rig.Answer(frames[0]), 0);
    const Reply reply = rig.Send(frames[1]);
    EXPECT_TRUE(reply.hangUp);
    EXPECT_TRUE(reply.bytes.empty());
    EXPECT_EQ(rig.recorder.ends, std::vector<SessionEnd>{SessionEnd::HangUp});
    EXPECT_EQ(rig.Answer(frames[1]), -1);
}

TEST(ReaderModelTest, TranscriptNamesEveryFrame) {
    ReaderRig rig(0);
    const auto frames = simtest::RawSession(0, simtest::TestImage(2 + 200));
    rig.Reset();
    for (const Bytes& frame : frames) ASSERT_EQ(rig.Answer(frame), 0);
    rig.reader.Take(Frame(Kind::EraseData));
    std::vector<std::string> lines;
    for (const TranscriptEntry& entry : rig.recorder.entries)
        lines.push_back(TranscriptLine(entry));
    const std::vector<std::string> expected{
        R"({"session":1,"index":0,"kind":"reset","address":null,"length":1,"answer":0})",
        R"({"session":1,"index":1,"kind":"routine-erase","address":null,"length":241,"answer":0})",
        R"({"session":1,"index":2,"kind":"routine-program","address":null,"length":241,"answer":0})",
        R"({"session":1,"index":3,"kind":"descriptor","address":"0x2002","length":65,"answer":0})",
        R"({"session":1,"index":4,"kind":"data","address":"0x2002","length":193,"answer":0})",
        R"({"session":1,"index":5,"kind":"data","address":"0x20C2","length":9,"answer":0})",
        R"({"session":1,"index":6,"kind":"signature","address":"0x2000","length":3,"answer":0})",
        R"({"session":1,"index":7,"kind":"end","address":null,"length":1,"answer":0})",
        R"({"session":1,"index":0,"kind":"erase-data","address":null,"length":0,"answer":1,)"
        R"("detail":"KvTal (64 Kb) has no data flash"})",
    };
    EXPECT_EQ(lines, expected);
}

TEST(TranscriptTest, EscapesDetailText) {
    TranscriptEntry entry;
    entry.kind = "unknown";
    entry.detail = "a \"quoted\" \\ line\n";
    EXPECT_EQ(TranscriptLine(entry),
              R"({"session":0,"index":0,"kind":"unknown","address":null,"length":0,)"
              R"("answer":null,"detail":"a \"quoted\" \\ line\u000a"})");
}

}  // namespace
}  // namespace korvel::sim
