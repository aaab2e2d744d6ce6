// The loader a light reset starts: a program into RAM, the detection loader known by its digest,
// ReadMemory from the identification bytes; --id-bytes and --fail-open.
#include "sim/light_loader.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/reader_model.h"
#include "sim_test_support.h"

namespace korvel::sim {
namespace {

using simtest::Bytes;

using cordane::LoaderCommand;
using simtest::Addressed;

Bytes Load(uint32_t load, const Bytes& chunk) {
    return Addressed(LoaderCommand::LoadRoutine, kRamStart, load, chunk);
}

Bytes Read(uint32_t count, uint32_t address) {
    return Addressed(LoaderCommand::ReadMemory, count, address, {});
}

TEST(LightLoaderTest, IdBytesTakeTwoPartsOfWholeHexBytes) {
    const auto full = ParseIdentityBytes("0500:48a0000000000F");
    ASSERT_TRUE(full) << full.error().message;
    EXPECT_EQ(full->first, (Bytes{0x05, 0x00}));
    EXPECT_EQ(full->second, (Bytes{0x48, 0xA0, 0, 0, 0, 0, 0x0F}));
    const auto empty = ParseIdentityBytes(":");
    ASSERT_TRUE(empty) << empty.error().message;
    EXPECT_TRUE(empty->first.empty() && empty->second.empty());

    for (const char* bad : {"050048", "050:48", "05zz:48", "050001:48", "0500:4800000000000000"}) {
        const auto refused = ParseIdentityBytes(bad);
        ASSERT_FALSE(refused) << bad;
        EXPECT_FALSE(refused.error().message.empty()) << bad;
    }
}

TEST(LightLoaderTest, RunsOnlyTheDetectionLoaderAndReadsOnlyThroughIt) {
    LightLoader loader(*DefaultIdentity(9));
    // Any program goes to RAM, within it only.
    EXPECT_EQ(loader.Take(Load(kRamStart, Bytes(240, 0x5A))).status, status::kAccepted);
    EXPECT_EQ(loader.Take(Load(kRamEnd - 4, Bytes(5, 1))).status, status::kBadFrame);
    EXPECT_EQ(loader.Take(Load(0x7FFF0, Bytes(4, 1))).status, status::kBadFrame);
    // Reading before the detection loader runs, and running another program, are refused.
    EXPECT_EQ(loader.Take(Read(2, kIdentityAddress)).status, status::kBadFrame);
    const FrameReport other =
        loader.Take(Addressed(LoaderCommand::RunRoutine, kRamStart, kRamStart, Bytes{0x5A}));
    EXPECT_EQ(other.status, status::kUnknownRoutine);
    EXPECT_NE(other.reason.find("not the detection loader"), std::string::npos) << other.reason;
    EXPECT_FALSE(loader.DetectionLoaderRuns());
    EXPECT_FALSE(loader.Take(Read(2, kIdentityAddress)).data);
    // Image writes are not this loader's.
    EXPECT_EQ(loader.Take(Addressed(LoaderCommand::WriteBlock, 0, 0x4000, {})).status,
              status::kBadFrame);
}

TEST(LightLoaderTest, ReadMemoryAnswersTheIdentificationBytes) {
    LightLoader loader(*DefaultIdentity(5), true);
    EXPECT_EQ(*loader.Take(Read(2, kIdentityAddress)).data, (Bytes{0x05, 0x01}));
    EXPECT_EQ(*loader.Take(Read(7, kIdentity1MbAddress)).data, (Bytes{0x48, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(loader.Take(Read(3, kIdentity512Address)).data->size(), 3u);
    EXPECT_EQ(*loader.Take(Read(1, kIdentityAddress)).data, (Bytes{0x05}));  // cut to the count
    // An address that holds no identification bytes, a count of 0 and a read with a payload are
    // refused with a status byte, never answered with bytes.
    for (const Bytes& bad :
         {Read(2, 0x2000), Read(0, kIdentityAddress), Load(kIdentityAddress, Bytes{1})}) {
        const FrameReport report = loader.Take(bad);
        EXPECT_NE(report.status, status::kAccepted);
        EXPECT_FALSE(report.data);
    }
    Bytes withPayload = Read(2, kIdentityAddress);
    withPayload[1] = 1;
    withPayload.push_back(0);
    EXPECT_EQ(loader.Take(withPayload).status, status::kBadFrame);

    // --id-bytes fewer than asked: the answer is short, as a reader's would be.
    LightLoader shortAnswer(*ParseIdentityBytes("05:48"), true);
    EXPECT_EQ(*shortAnswer.Take(Read(2, kIdentityAddress)).data, (Bytes{0x05}));
    EXPECT_EQ(*shortAnswer.Take(Read(7, kIdentity1MbAddress)).data, (Bytes{0x48}));

    EXPECT_TRUE(loader.Take(Addressed(LoaderCommand::EndSession, 0, 0, {})).endsSession);
    EXPECT_EQ(loader.Take(Read(2, kIdentityAddress)).status, status::kBadFrame);
}

TEST(LightLoaderTest, ResetsFailAsToldAndOnlyLargeReadersTakeTheLightOne) {
    const Bytes light{static_cast<uint8_t>(wire::ResetMode::Light)};
    auto readyStatus = [](const Reply& reply) {
        wire::Decoder decoder;
        decoder.Feed(reply.bytes.data(), reply.bytes.size());
        wire::Frame frame;
        return decoder.Next(frame) && frame.payload.size() == 2 ? frame.payload[0] : 0xFF;
    };
    struct Ends : ReaderObserver {
        void OnFrame(const TranscriptEntry&) override {}
        void OnSessionEnd(SessionEnd) override { ++count; }
        int count = 0;
    } ends;
    ReaderModel late(*FindLayout(8), LoaderKind::Raw, {}, {}, {}, 2);
    late.SetObserver(&ends);
    EXPECT_EQ(readyStatus(late.Take({wire::Kind::ResetLoader, light})), status::kResetFailed);
    EXPECT_FALSE(late.LoaderRunning());
    // A failed reset opens no session: the host giving up on it ends none (nor a --once run).
    late.HostClosed();
    EXPECT_EQ(ends.count, 0);
    EXPECT_EQ(readyStatus(late.Take({wire::Kind::ResetLoader, light})), status::kResetFailed);
    EXPECT_EQ(readyStatus(late.Take({wire::Kind::ResetLoader, light})), status::kLoaderRunning);
    EXPECT_TRUE(late.LoaderRunning());

    ReaderModel small(*FindLayout(1), LoaderKind::Addressed);
    EXPECT_EQ(readyStatus(small.Take({wire::Kind::ResetLoader, light})), status::kResetRefused);
    EXPECT_FALSE(DefaultIdentity(0) || DefaultIdentity(1));

    // After a large reset, ReadMemory is refused: only the light reset's loader reads.
    ReaderModel large(*FindLayout(5), LoaderKind::Raw);
    EXPECT_EQ(readyStatus(large.Take({wire::Kind::ResetLoader, {1}})), status::kLoaderRunning);
    const Reply read = large.Take({wire::Kind::Message, Read(2, kIdentityAddress)});
    wire::Decoder decoder;
    decoder.Feed(read.bytes.data(), read.bytes.size());
    wire::Frame answer;
    ASSERT_TRUE(decoder.Next(answer));
    EXPECT_EQ(answer.payload, (Bytes{status::kBadFrame}));
}

}  // namespace
}  // namespace korvel::sim
