// The two 64 Kb loaders driven frame by frame, without a line.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sim/loader.h"
#include "sim/raw_loader.h"
#include "sim/reader_layout.h"
#include "sim_test_support.h"

namespace korvel::sim {
namespace {

using simtest::Bytes;

struct LoaderRig {
    LoaderRig(int type, LoaderKind kind)
        : flash(*FindLayout(type)), loader(MakeLoader(kind, flash, AcceptedRoutines(type, kind))) {}

    // Plays `frames`; returns the index of the first refused one, or -1.
    int Play(const std::vector<Bytes>& frames) {
        for (size_t i = 0; i < frames.size(); ++i) {
            last = loader->Take(frames[i]);
            if (last.status != status::kAccepted) return static_cast<int>(i);
        }
        return -1;
    }
    uint8_t Take(const Bytes& frame) {
        last = loader->Take(frame);
        return last.status;
    }

    FlashModel flash;
    std::unique_ptr<Loader> loader;
    FrameReport last;
};

struct SessionCase {
    int type;
    LoaderKind kind;
    size_t imageLength;
};

class FullSessionTest : public testing::TestWithParam<SessionCase> {};

TEST_P(FullSessionTest, LeavesTheSignedImageInFlash) {
    const SessionCase c = GetParam();
    LoaderRig rig(c.type, c.kind);
    const Bytes image = simtest::TestImage(c.imageLength);
    const auto frames = c.kind == LoaderKind::Raw ? simtest::RawSession(c.type, image)
                                                  : simtest::AddressedSession(c.type, image);
    ASSERT_EQ(rig.Play(frames), -1) << rig.last.reason;
    EXPECT_TRUE(rig.last.endsSession);
    EXPECT_EQ(rig.flash.Dump(), simtest::ExpectedDump(image));
    EXPECT_TRUE(rig.flash.Signed());
}

// Raw images around the block edges: payload 0, exactly two blocks, two blocks and one byte; and
// an application that fills the 64 Kb flash to its last byte.
INSTANTIATE_TEST_SUITE_P(Sessions, FullSessionTest,
                         testing::Values(SessionCase{0, LoaderKind::Raw, 2},
                                         SessionCase{0, LoaderKind::Raw, 2 + 384},
                                         SessionCase{1, LoaderKind::Raw, 2 + 385},
                                         SessionCase{1, LoaderKind::Raw, 0x10000 - 0x2000},
                                         SessionCase{0, LoaderKind::Addressed, 255},
                                         SessionCase{0, LoaderKind::Addressed, 0x10000 - 0x2000},
                                         SessionCase{1, LoaderKind::Addressed, 256},
                                         SessionCase{1, LoaderKind::Addressed, 5000}));

TEST(RawDescriptorTest, CountsFramesLikeTheHostSendsThem) {
    const auto framesFor = [](size_t imageLength) {
        auto parsed = ParseRawDescriptor(simtest::RawDescriptor(imageLength));
        return std::get<RawDescriptor>(parsed).DataFrames();
    };
    EXPECT_EQ(framesFor(2), 1u);        // one frame of 1 byte, no payload
    EXPECT_EQ(framesFor(2 + 192), 1u);  // one full block
    EXPECT_EQ(framesFor(2 + 384), 2u);  // the last full block travels as the last frame
    EXPECT_EQ(framesFor(2 + 385), 3u);  // 192, 192 and 1 payload bytes
    const RawDescriptor d =
        std::get<RawDescriptor>(ParseRawDescriptor(simtest::RawDescriptor(389)));
    EXPECT_EQ(d.payloadAddress, 0x2002);
    EXPECT_EQ(d.signatureAddress, 0x2000);
    EXPECT_EQ(d.FramePayload(2), 3u);
}

TEST(RawDescriptorTest, RefusesMalformedDescriptorsNamingTheByte) {
    Bytes d = simtest::RawDescriptor(100);
    d[8] = 192;  // a remainder of a whole block
    EXPECT_NE(std::get<std::string>(ParseRawDescriptor(d)).find("remainder"), std::string::npos);
    d = simtest::RawDescriptor(100);
    d[40] = 1;
    EXPECT_NE(std::get<std::string>(ParseRawDescriptor(d)).find("byte 40"), std::string::npos);
    d = simtest::RawDescriptor(100);
    d[16] = 3;
    EXPECT_NE(std::get<std::string>(ParseRawDescriptor(d)).find("signature length"),
              std::string::npos);
    EXPECT_TRUE(std::holds_alternative<std::string>(ParseRawDescriptor(Bytes(64, 0))));
}

TEST(RawLoaderTest, RefusesRoutinesOfAnotherReaderOrOutOfTurn) {
    const Bytes image = simtest::TestImage(300);
    const auto tal = simtest::RawSession(0, image);
    const auto orb = simtest::RawSession(1, image);

    LoaderRig wrongReader(0, LoaderKind::Raw);
    EXPECT_EQ(wrongReader.Take(orb[0]), status::kUnknownRoutine);
    EXPECT_EQ(std::string(wrongReader.last.kind), "routine-erase");

    LoaderRig programFirst(0, LoaderKind::Raw);
    EXPECT_EQ(programFirst.Take(tal[1]), status::kBadFrame);

    // The routine itself without its padding is not a routine frame.
    LoaderRig unpadded(0, LoaderKind::Raw);
    EXPECT_EQ(unpadded.Take(Bytes(cordane::routines::kEraseTal64.begin(),
                                  cordane::routines::kEraseTal64.end())),
              status::kWriteBeforeProgram);

    // A refused frame does not move the sequence on: the right one is still taken.
    LoaderRig retried(1, LoaderKind::Raw);
    EXPECT_EQ(retried.Take(tal[0]), status::kUnknownRoutine);
    EXPECT_EQ(retried.Play(orb), -1) << retried.last.reason;
}

TEST(RawLoaderTest, RefusesImageDataBeforeTheProgramRoutine) {
    const auto frames = simtest::RawSession(0, simtest::TestImage(300));
    LoaderRig rig(0, LoaderKind::Raw);
    ASSERT_EQ(rig.Take(frames[0]), status::kAccepted);
    EXPECT_EQ(rig.Take(frames[2]), status::kWriteBeforeProgram);  // the descriptor
    EXPECT_EQ(rig.Take(frames[3]), status::kWriteBeforeProgram);  // a data frame
}

TEST(RawLoaderTest, RefusesADescriptorReachingPastTheFlash) {
    auto frames = simtest::RawSession(0, simtest::TestImage(300));
    frames[2][5] = 0x00;
    frames[2][6] = 0x02;  // 512 blocks of 192 bytes from 0x2002 end far beyond 0xFFFF
    LoaderRig rig(0, LoaderKind::Raw);
    EXPECT_EQ(rig.Play(frames), 2);
    EXPECT_EQ(rig.last.status, status::kOutsideFlash);
}

TEST(RawLoaderTest, RefusesDataFramesOfTheWrongLengthOrOffset) {
    const Bytes image = simtest::TestImage(2 + 400);
    auto shortFrame = simtest::RawSession(0, image);
    shortFrame[3].pop_back();
    LoaderRig rig(0, LoaderKind::Raw);
    EXPECT_EQ(rig.Play(shortFrame), 3);
    EXPECT_EQ(rig.last.status, status::kBadFrame);

    // The second block sent from one byte too far: its first byte is not the byte before it.
    auto shifted = simtest::RawSession(0, image);
    Bytes buffer(1, 0);
    buffer.insert(buffer.end(), image.begin(), image.end());
    shifted[4].assign(buffer.begin() + 195, buffer.begin() + 195 + 193);
    LoaderRig shiftedRig(0, LoaderKind::Raw);
    EXPECT_EQ(shiftedRig.Play(shifted), 4);
    EXPECT_EQ(shiftedRig.last.status, status::kBadFrame);
}

TEST(RawLoaderTest, EndsOnlyOnTheEndFrameAndTakesNothingAfter) {
    auto frames = simtest::RawSession(0, simtest::TestImage(50));
    LoaderRig rig(0, LoaderKind::Raw);
    const Bytes end = frames.back();
    frames.pop_back();
    ASSERT_EQ(rig.Play(frames), -1);
    EXPECT_EQ(rig.Take({0x09}), status::kBadFrame);
    EXPECT_FALSE(rig.last.endsSession);
    EXPECT_EQ(rig.Take(end), status::kAccepted);
    EXPECT_TRUE(rig.last.endsSession);
    EXPECT_EQ(rig.Take(end), status::kBadFrame);
}

TEST(AddressedLoaderTest, RefusesWritesBeforeTheProgramRoutine) {
    LoaderRig rig(1, LoaderKind::Addressed);
    const Bytes data(10, 0x55);
    ASSERT_EQ(rig.Take(simtest::EraseRoutine(1)), status::kAccepted);
    EXPECT_EQ(rig.Take(simtest::Write(0x2000, data)), status::kWriteBeforeProgram);
    ASSERT_EQ(rig.Take(simtest::ProgramRoutine(1)), status::kAccepted);
    EXPECT_EQ(rig.Take(simtest::Write(0x2000, data)), status::kAccepted);
}

TEST(AddressedLoaderTest, RefusesWritesOutsideTheApplicationFlash) {
    LoaderRig rig(0, LoaderKind::Addressed);
    ASSERT_EQ(rig.Play({simtest::EraseRoutine(0), simtest::ProgramRoutine(0)}), -1);
    const Bytes data(16, 0x00);
    EXPECT_EQ(rig.Take(simtest::Write(0xFFF8, data)), status::kOutsideFlash);  // runs past 0xFFFF
    EXPECT_NE(rig.last.reason.find("0x10000"), std::string::npos);
    EXPECT_EQ(rig.Take(simtest::Write(0x1000, data)), status::kOutsideFlash);  // the loader's own
    EXPECT_EQ(rig.Take(simtest::Write(0x123456, data)), status::kOutsideFlash);
    // All or nothing: the part that fitted was not written either.
    EXPECT_EQ(rig.flash.Read(0xFFF8), 0xFF);
}

TEST(AddressedLoaderTest, RefusesToSetBitsWithoutAnErase) {
    LoaderRig rig(1, LoaderKind::Addressed);
    ASSERT_EQ(rig.Play({simtest::EraseRoutine(1), simtest::ProgramRoutine(1)}), -1);
    EXPECT_EQ(rig.Take(simtest::Write(0x3000, Bytes{0xF0, 0x0F})), status::kAccepted);
    EXPECT_EQ(rig.Take(simtest::Write(0x3000, Bytes{0x30, 0x00})), status::kAccepted);  // clears
    EXPECT_EQ(rig.Take(simtest::Write(0x3000, Bytes{0x00, 0x01})), status::kNotErased);
    EXPECT_NE(rig.last.reason.find("0x3001"), std::string::npos);
    EXPECT_EQ(rig.flash.Read(0x3000), 0x30);
    // The erase routine makes the same write good again.
    EXPECT_EQ(rig.Take(simtest::EraseRoutine(1)), status::kAccepted);
    EXPECT_EQ(rig.Take(simtest::Write(0x3000, Bytes{0x00, 0x01})), status::kAccepted);
}

TEST(AddressedLoaderTest, TakesOnlyThisReadersRoutinesInTheirExactForm) {
    namespace r = cordane::routines;
    using cordane::LoaderCommand;
    const auto run = [](const Bytes& payload) {
        return simtest::Addressed(LoaderCommand::RunRoutine, 0x080000, 0x080000, payload);
    };
    LoaderRig tal(0, LoaderKind::Addressed);
    EXPECT_EQ(tal.Take(simtest::EraseRoutine(1)), status::kUnknownRoutine);  // KvOrb's FlashErase
    EXPECT_EQ(tal.Take(run(Bytes(r::kEraseTal64.begin(), r::kEraseTal64.end()))),
              status::kUnknownRoutine);  // not padded to 241
    EXPECT_EQ(tal.Take(run(simtest::Padded(r::kProgramTal64, 241))),
              status::kUnknownRoutine);  // the program routine is loaded, not run
    EXPECT_EQ(tal.Take(simtest::Addressed(LoaderCommand::RunRoutine, 0x080000, 0x090000,
                                          simtest::Padded(r::kEraseTal64, 241))),
              status::kBadFrame);  // wrong load address

    LoaderRig orb(1, LoaderKind::Addressed);
    EXPECT_EQ(orb.Take(simtest::EraseRoutine(0)), status::kUnknownRoutine);
    EXPECT_EQ(orb.Take(run(simtest::Padded(r::kFlashErase, 60))), status::kUnknownRoutine);
    EXPECT_EQ(orb.Take(simtest::EraseRoutine(1)), status::kAccepted);
}

TEST(AddressedLoaderTest, RefusesMalformedFrames) {
    LoaderRig rig(0, LoaderKind::Addressed);
    EXPECT_EQ(rig.Take({0x00, 0x00, 0x08}), status::kBadFrame);  // shorter than a header
    Bytes frame = simtest::Write(0x2000, Bytes(4, 0));
    frame.pop_back();  // header says 4, payload has 3
    EXPECT_EQ(rig.Take(frame), status::kBadFrame);
    EXPECT_EQ(
        rig.Take(simtest::Addressed(static_cast<cordane::LoaderCommand>(0x0A), 2, 0x1000, {})),
        status::kBadFrame);
    EXPECT_EQ(rig.Take(simtest::Write(0x2000, {})), status::kBadFrame);  // empty WriteBlock
    EXPECT_EQ(rig.Take(simtest::Addressed(cordane::LoaderCommand::EndSession, 0, 0, Bytes{1})),
              status::kBadFrame);
    EXPECT_EQ(rig.Take(simtest::EndSession()), status::kAccepted);
    EXPECT_TRUE(rig.last.endsSession);
    EXPECT_EQ(rig.Take(simtest::EraseRoutine(0)), status::kBadFrame);  // the session is over
}

TEST(FlashModelTest, DumpsTheCodeFlashByAddress) {
    FlashModel flash(*FindLayout(0));
    EXPECT_EQ(flash.Dump(), Bytes(0x10000, 0xFF));
    ASSERT_EQ(flash.Write(0xFFFE, Bytes{0x12, 0x34}).status, status::kAccepted);
    ASSERT_EQ(flash.Write(0x2000, Bytes{'K'}).status, status::kAccepted);
    EXPECT_FALSE(flash.Signed());
    ASSERT_EQ(flash.Write(0x2001, Bytes{'V'}).status, status::kAccepted);
    EXPECT_TRUE(flash.Signed());
    const Bytes dump = flash.Dump();
    EXPECT_EQ(dump[0xFFFE], 0x12);
    EXPECT_EQ(dump[0xFFFF], 0x34);
    flash.EraseCode();
    EXPECT_EQ(flash.Dump(), Bytes(0x10000, 0xFF));
}

}  // namespace
}  // namespace korvel::sim
