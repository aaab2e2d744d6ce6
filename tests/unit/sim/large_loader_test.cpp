// The large readers' loader driven frame by frame, without a line: code and data flash, the
// routines, the application-number check, EraseData and the resets that start the loader.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "sim/addressed_loader.h"
#include "sim/reader_model.h"
#include "sim_test_support.h"

namespace korvel::sim {
namespace {

using cordane::LoaderCommand;
using simtest::Bytes;
using wire::Kind;

constexpr size_t kLargeDump = 0x180000;

// Bytes that differ from block to block and are never 0xFF, so that no block reads as blank.
Bytes Pattern(size_t length, uint8_t seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((i * 13 + seed) % 0xFF);
    return bytes;
}

// The payload of the single frame in `reply`, checking its kind.
Bytes PayloadOf(const Reply& reply, Kind kind) {
    wire::Decoder decoder;
    decoder.Feed(reply.bytes.data(), reply.bytes.size());
    wire::Frame frame;
    if (!decoder.Next(frame)) return {};
    EXPECT_EQ(frame.kind, kind);
    return frame.payload;
}

class Recorder : public ReaderObserver {
  public:
    void OnFrame(const TranscriptEntry& entry) override { entries.push_back(entry); }
    void OnSessionEnd(SessionEnd why) override { ends.push_back(why); }
    std::vector<TranscriptEntry> entries;
    std::vector<SessionEnd> ends;
};

// One large reader behind its wire frames.
struct LargeRig {
    explicit LargeRig(int type, AppNumber appNumber = {})
        : reader(*FindLayout(type), LoaderKind::Raw, {}, appNumber) {
        reader.SetObserver(&recorder);
    }
    Bytes Reset(uint8_t mode) {
        return PayloadOf(reader.Take({Kind::ResetLoader, {mode}}), Kind::LoaderReady);
    }
    // The status byte answering `loaderFrame`; -1 when nothing came back.
    int Answer(const Bytes& loaderFrame) {
        const Reply reply = reader.Take({Kind::Message, loaderFrame});
        if (reply.bytes.empty()) return -1;
        const Bytes payload = PayloadOf(reply, Kind::Message);
        return payload.size() == 1 ? payload[0] : -2;
    }
    int EraseData() {
        const Bytes payload = PayloadOf(reader.Take({Kind::EraseData, {}}), Kind::EraseDataDone);
        return payload.size() == 1 ? payload[0] : -2;
    }
    const TranscriptEntry& Last() const { return recorder.entries.back(); }

    Recorder recorder;
    ReaderModel reader;
};

// Every frame of a download of `regions` (address -> bytes) as the host sends it: erase, program
// routine, the regions in 255-byte blocks with the signature's place left blank, the signature,
// EndSession. The first region must start at 0x4000.
std::vector<Bytes> LargeSession(const std::map<uint32_t, Bytes>& regions) {
    std::vector<Bytes> frames{simtest::FlashErase(), simtest::ProgramLarge()};
    for (auto [address, bytes] : regions) {
        if (address == 0x4000) bytes[0] = bytes[1] = 0xFF;
        for (size_t at = 0; at < bytes.size(); at += 255) {
            const size_t size = std::min<size_t>(255, bytes.size() - at);
            frames.push_back(simtest::Write(static_cast<uint32_t>(address + at),
                                            std::span<const uint8_t>(bytes).subspan(at, size)));
        }
    }
    const uint8_t signature[] = {'K', 'V'};
    frames.push_back(simtest::Write(0x4000, signature));
    frames.push_back(simtest::EndSession());
    return frames;
}

Bytes ExpectedDump(const std::map<uint32_t, Bytes>& regions) {
    Bytes dump(kLargeDump, 0xFF);
    for (const auto& [address, bytes] : regions) {
        std::copy(bytes.begin(), bytes.end(), dump.begin() + address);
    }
    dump[0x4000] = 'K';
    dump[0x4001] = 'V';
    return dump;
}

Bytes DataFill(size_t size) {
    Bytes fill(size);
    for (size_t i = 0; i < size; ++i) fill[i] = kDataFlashFill[i % (sizeof kDataFlashFill - 1)];
    return fill;
}

TEST(LargeLoaderTest, ASessionLeavesDriverApplicationAndUpperPartSignedInFlash) {
    for (const int type : {2, 5, 7}) {
        SCOPED_TRACE("reader type " + std::to_string(type));
        const bool upper = type == 5;
        LargeRig rig(type);
        ASSERT_EQ(rig.Reset(type == 7 ? 2 : 1), (Bytes{0x00, 0x00}));
        std::map<uint32_t, Bytes> regions{
            {0x4000, Pattern(0xA000, 1)},   // the driver's low part up to 0xDFFF
            {0xE000, Pattern(0x1000, 2)},   // the application below 0xF000
            {0x10000, Pattern(700, 3)},     // and above
            {0x70000, Pattern(300, 4)},     // the driver's high part
            {0x7FF00, Pattern(0x100, 5)}};  // the last bytes of the bank
        if (upper) regions[0x100000] = Pattern(0x1001, 6);
        const auto frames = LargeSession(regions);
        for (size_t i = 0; i < frames.size(); ++i) {
            ASSERT_EQ(rig.Answer(frames[i]), 0) << "frame " << i << ": " << rig.Last().detail;
        }
        EXPECT_EQ(rig.recorder.ends, std::vector<SessionEnd>{SessionEnd::EndFrame});
        EXPECT_TRUE(rig.reader.Flash().Signed());
        EXPECT_EQ(simtest::Difference(rig.reader.Flash().Dump(), ExpectedDump(regions)), "");
        EXPECT_EQ(simtest::Difference(rig.reader.Flash().Data(), DataFill(0x10000)),
                  "");  // untouched
    }
}

TEST(LargeLoaderTest, RefusesWritesOutsideTheBanksOfItsModel) {
    LargeRig small(3);  // 512 Kb
    small.Reset(1);
    ASSERT_EQ(small.Answer(simtest::FlashErase()), 0);
    ASSERT_EQ(small.Answer(simtest::ProgramLarge()), 0);
    const Bytes data(16, 0x00);
    EXPECT_EQ(small.Answer(simtest::Write(0x3FF8, data)), status::kOutsideFlash);  // the loader's
    EXPECT_NE(small.Last().detail.find("loader"), std::string::npos) << small.Last().detail;
    EXPECT_EQ(small.Answer(simtest::Write(0x7FFF8, data)), status::kOutsideFlash);
    EXPECT_EQ(small.Answer(simtest::Write(0x100000, data)), status::kOutsideFlash);
    EXPECT_NE(small.Last().detail.find("outside the flash"), std::string::npos);
    EXPECT_EQ(simtest::Difference(small.reader.Flash().Dump(), Bytes(kLargeDump, 0xFF)), "");

    LargeRig big(4);  // 1 Mb: the upper bank ends at 0x17FFFF
    big.Reset(1);
    ASSERT_EQ(big.Answer(simtest::ProgramLarge()), 0);
    EXPECT_EQ(big.Answer(simtest::Write(0x100000, data)), 0);
    EXPECT_EQ(big.Answer(simtest::Write(0x17FFF8, data)), status::kOutsideFlash);
    EXPECT_EQ(big.Answer(simtest::Write(0x80000, data)), status::kOutsideFlash);
}

TEST(LargeLoaderTest, TakesOnlyItsOwnRoutinesInTheirExactFormAndPlace) {
    namespace r = cordane::routines;
    LargeRig rig(2);
    rig.Reset(1);
    // Another reader's routines, a routine cut short, one sent with the other command.
    EXPECT_EQ(rig.Answer(simtest::EraseRoutine(0)), status::kUnknownRoutine);
    EXPECT_EQ(rig.Answer(simtest::ProgramRoutine(1)), status::kUnknownRoutine);
    const Bytes shortProgram(r::kProgramLarge.begin(), r::kProgramLarge.end() - 1);
    EXPECT_EQ(rig.Answer(simtest::Routine(LoaderCommand::LoadRoutine, shortProgram)),
              status::kUnknownRoutine);
    EXPECT_EQ(rig.Answer(simtest::Routine(LoaderCommand::RunRoutine, r::kProgramLarge)),
              status::kUnknownRoutine);
    EXPECT_NE(rig.Last().detail.find("ProgramLarge is not taken with RunRoutine"),
              std::string::npos);
    // A changed byte outside the digit positions makes AppNumberCheck someone else's code.
    Bytes check = simtest::AppNumberCheck("001", "002", "003");
    check[9 + 8] = 'X';  // the 'K' it looks for
    EXPECT_EQ(rig.Answer(check), status::kUnknownRoutine);
    // Right routine, wrong place.
    EXPECT_EQ(rig.Answer(simtest::Routine(LoaderCommand::RunRoutine, r::kFlashErase, 0x0800F5)),
              status::kBadFrame);
    EXPECT_EQ(rig.Answer(simtest::Addressed(LoaderCommand::RunRoutine, 0x080001, 0x080000,
                                            r::kFlashErase)),
              status::kBadFrame);
    EXPECT_EQ(rig.Answer(simtest::DataFlashEraseStart(0x080000)), status::kBadFrame);
    EXPECT_NE(rig.Last().detail.find("0x800F5"), std::string::npos) << rig.Last().detail;
    // Nothing was written or erased, and no write is possible yet.
    EXPECT_EQ(rig.Answer(simtest::Write(0x4000, Bytes{0x00})), status::kWriteBeforeProgram);
}

TEST(LargeLoaderTest, FlashEraseClearsTheCodeFlashButNotTheDataFlash) {
    LargeRig rig(6);
    rig.Reset(1);
    ASSERT_EQ(rig.Answer(simtest::ProgramLarge()), 0);
    ASSERT_EQ(rig.Answer(simtest::Write(0x4000, Bytes{'K', 'V'})), 0);
    ASSERT_EQ(rig.Answer(simtest::Write(0x120000, Bytes(255, 0x12))), 0);
    EXPECT_EQ(rig.Answer(simtest::Write(0x120000, Bytes{0x21})), status::kNotErased);
    ASSERT_EQ(rig.Answer(simtest::FlashErase()), 0);
    EXPECT_EQ(simtest::Difference(rig.reader.Flash().Dump(), Bytes(kLargeDump, 0xFF)), "");
    EXPECT_EQ(simtest::Difference(rig.reader.Flash().Data(), DataFill(0x10000)), "");
    // The program routine stays loaded: the same writes are good again.
    EXPECT_EQ(rig.Answer(simtest::Write(0x120000, Bytes{0x21})), 0);
}

TEST(LargeLoaderTest, DataFlashRoutinesEraseTheDataFlashAndEndTheSessionUnanswered) {
    LargeRig rig(8);
    rig.Reset(1);
    ASSERT_EQ(rig.Answer(simtest::FlashErase()), 0);
    // The start routine runs the code the core routine loads: alone, it is out of turn.
    EXPECT_EQ(rig.Answer(simtest::DataFlashEraseStart()), status::kBadFrame);
    EXPECT_EQ(simtest::Difference(rig.reader.Flash().Data(), DataFill(0x10000)), "");
    ASSERT_EQ(rig.Answer(simtest::DataFlashEraseCore()), 0);
    EXPECT_EQ(rig.Last().kind, "data-flash-erase-core");
    EXPECT_EQ(rig.Answer(simtest::DataFlashEraseStart()), -1);
    EXPECT_EQ(rig.Last().kind, "data-flash-erase-start");
    EXPECT_FALSE(rig.Last().answer.has_value());
    EXPECT_EQ(rig.recorder.ends, std::vector<SessionEnd>{SessionEnd::EndFrame});
    EXPECT_EQ(simtest::Difference(rig.reader.Flash().Data(), Bytes(0x10000, 0xFF)), "");
    EXPECT_EQ(rig.Answer(simtest::EndSession()), status::kBadFrame);  // the session is over

    // Loading the erase code takes the program routine's place.
    LargeRig swapped(2);
    swapped.Reset(1);
    ASSERT_EQ(swapped.Answer(simtest::ProgramLarge()), 0);
    ASSERT_EQ(swapped.Answer(simtest::DataFlashEraseCore()), 0);
    EXPECT_EQ(swapped.Answer(simtest::Write(0x4000, Bytes{0x00})), status::kWriteBeforeProgram);

    // The models that erase their data flash on EraseData have no such routines.
    LargeRig request(5);
    request.Reset(1);
    EXPECT_EQ(request.Answer(simtest::DataFlashEraseCore()), status::kUnknownRoutine);
}

TEST(LargeLoaderTest, EraseDataErasesOnlyOnTheModelsThatTakeIt) {
    for (const int type : {4, 5, 6}) {
        LargeRig rig(type);
        EXPECT_EQ(rig.EraseData(), status::kDataErased) << type;  // no session needed
        EXPECT_EQ(simtest::Difference(rig.reader.Flash().Data(), Bytes(0x10000, 0xFF)), "") << type;
        EXPECT_TRUE(rig.recorder.ends.empty());
    }
    LargeRig routines(2);
    EXPECT_EQ(routines.EraseData(), status::kDataEraseByLoader);
    EXPECT_NE(routines.Last().detail.find("DataFlashEraseCore"), std::string::npos);
    EXPECT_EQ(simtest::Difference(routines.reader.Flash().Data(), DataFill(0x10000)), "");
    LargeRig small(0);
    EXPECT_EQ(small.EraseData(), status::kNoDataFlash);
    LargeRig malformed(5);
    EXPECT_EQ(PayloadOf(malformed.reader.Take({Kind::EraseData, {0}}), Kind::EraseDataDone),
              Bytes{status::kDataEraseMalformed});
    EXPECT_EQ(simtest::Difference(malformed.reader.Flash().Data(), DataFill(0x10000)), "");
}

TEST(LargeLoaderTest, AppNumberCheckAcceptsTheSameNumberOrAChangeFromTheReadersOwn) {
    // No number known: anything goes, and the new number is the reader's from then on.
    LargeRig open(2);
    open.Reset(1);
    EXPECT_EQ(open.Answer(simtest::AppNumberCheck("123", "000", "000")), 0);
    EXPECT_EQ(open.Last().kind, "app-number-check");
    EXPECT_EQ(open.reader.HeldAppNumber(), AppNumber{123});

    LargeRig rig(2, AppNumber{5});
    rig.Reset(1);
    EXPECT_EQ(rig.Answer(simtest::AppNumberCheck("005", "001", "002")), 0);  // the same
    EXPECT_EQ(rig.Answer(simtest::AppNumberCheck("007", "004", "005")), 0);  // from the 2nd
    EXPECT_EQ(rig.reader.HeldAppNumber(), AppNumber{7});
    EXPECT_EQ(rig.Answer(simtest::AppNumberCheck("009", "006", "005")), status::kAppNumberRefused);
    EXPECT_NE(rig.Last().detail.find("holds application number 007"), std::string::npos)
        << rig.Last().detail;
    EXPECT_EQ(rig.reader.HeldAppNumber(), AppNumber{7});
    // Digits that are no digits.
    EXPECT_EQ(rig.Answer(simtest::AppNumberCheck("00A", "007", "007")), status::kBadFrame);
    EXPECT_NE(rig.Last().detail.find("byte 53"), std::string::npos) << rig.Last().detail;
    EXPECT_EQ(rig.Answer(simtest::AppNumberCheck("007", "0 7", "007")), status::kBadFrame);
    // The verdict changes nothing in the flash, and the number is kept across sessions.
    EXPECT_EQ(simtest::Difference(rig.reader.Flash().Dump(), Bytes(kLargeDump, 0xFF)), "");
    rig.Reset(1);
    EXPECT_EQ(rig.Answer(simtest::AppNumberCheck("005", "001", "002")), status::kAppNumberRefused);
}

TEST(LargeLoaderTest, ResetsStartTheLoaderOnlyInTheModesOfTheModel) {
    LargeRig rig(3);
    EXPECT_EQ(rig.Reset(0), (Bytes{status::kResetRefused, 0x00}));  // a 64 Kb reset
    EXPECT_FALSE(rig.reader.LoaderRunning());
    EXPECT_NE(rig.Last().detail.find("64 Kb reset"), std::string::npos);
    EXPECT_EQ(rig.Reset(2), (Bytes{status::kResetRefused, 0x00}));  // a modem reset
    EXPECT_EQ(rig.Answer(simtest::FlashErase()), -1);
    EXPECT_EQ(rig.Reset(1), (Bytes{status::kLoaderRunning, 0x00}));
    EXPECT_EQ(rig.Answer(simtest::FlashErase()), 0);

    LargeRig modem(7);
    EXPECT_EQ(modem.Reset(1), (Bytes{status::kResetRefused, 0x00}));
    EXPECT_EQ(modem.Reset(2), (Bytes{status::kLoaderRunning, 0x00}));

    LargeRig small(1);
    EXPECT_EQ(small.Reset(1), (Bytes{status::kResetRefused, 0x00}));
    EXPECT_EQ(small.Reset(2), (Bytes{status::kResetRefused, 0x00}));
}

}  // namespace
}  // namespace korvel::sim
