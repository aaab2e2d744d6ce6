// The system's facts that several parts read: the exit-code table's texts, the reader table's
// identifications against detection's decision, and the progress bar's two ways past its end.
#include <gtest/gtest.h>

#include <set>

#include "cordane/exit_codes.h"
#include "cordane/progress_bar.h"
#include "cordane/readers.h"

namespace cordane {
namespace {

TEST(ExitCodeTable, GivesEachOutcomeItsTextAndReadsOtherCodesAsTheLoaders) {
    EXPECT_EQ(ResultText(kExitOk), "completed");
    EXPECT_EQ(ResultText(kExitBadInput), "file or port refused");
    EXPECT_EQ(ResultText(kExitCommunication), "communication error");
    EXPECT_EQ(ResultText(kExitInterrupted), "quit at once");
    EXPECT_EQ(ResultText(0x23), "loader error 35 (0x23)");
    // 125 names a killed job only when the signal is known; otherwise a loader may have said it.
    // 9 is the kill signal on every system (on Windows, in base's reports of a child's end).
    EXPECT_EQ(ResultText(kExitJobKilled, 9), "ended by signal 9 (SIGKILL)");
    EXPECT_EQ(ResultText(kExitJobKilled, 15), "ended by signal 15 (SIGTERM)");
    EXPECT_EQ(ResultText(kExitJobKilled), "loader error 125 (0x7D)");
    EXPECT_EQ(ResultText(kExitCancelled, 9), "cancelled");

    // Codes are listed once, in increasing order; the engine's messages belong to 3 to 6 only.
    int last = -1;
    for (const ExitCodeFacts& facts : ExitCodes()) {
        EXPECT_GT(facts.code, last);
        last = facts.code;
        EXPECT_EQ(FactsOfExitCode(facts.code), &facts);
        EXPECT_EQ(facts.message != nullptr,
                  facts.code >= kExitOpenFailed && facts.code <= kExitCancelled)
            << facts.code;
    }
    EXPECT_EQ(FactsOfExitCode(0x23), nullptr);
}

TEST(ReaderTable, DetectionDecidesEachTypeFromTheIdentificationTheTableGivesIt) {
    std::set<int> undetected;
    for (const ReaderFacts& reader : kReaders) {
        EXPECT_EQ(FindReader(reader.type), &reader);
        EXPECT_EQ(IsLargeReader(reader.type), reader.large);
        EXPECT_FALSE(reader.banks.empty());
        if (reader.identification == nullptr) {
            undetected.insert(reader.type);
            continue;
        }
        const Identification& id = *reader.identification;
        EXPECT_EQ(IdentifiedReader(id.g, id.r, id.second.data()), reader.type) << reader.name;
    }
    // The 64 Kb readers refuse the light reset; a KvTalModem answers as a KvTal (512 Kb).
    EXPECT_EQ(undetected, (std::set<int>{KvTal64, KvOrb64, KvTalModem}));

    EXPECT_EQ(FindReader(-1), nullptr);
    EXPECT_EQ(FindReader(kLastReaderType + 1), nullptr);
    EXPECT_EQ(&FactsOf(static_cast<eReaderType>(42)), &kReaders[KvOrb64]);
    EXPECT_EQ(ReaderName(static_cast<eReaderType>(42)), "reader type 42");
    EXPECT_EQ(BankOf(kReaders[KvOrb1Mb], 0x100000), &k1MbBanks[1]);
    EXPECT_EQ(BankOf(kReaders[KvOrb512], 0x100000), nullptr);
}

TEST(ProgressBarModel, WrapsOrStopsPastTheEndAndKeepsThePositionInTheRange) {
    for (const PastTheEnd past : {PastTheEnd::Wrap, PastTheEnd::Stop}) {
        ProgressBar bar(past);
        bar.SetRange(0, 40);
        bar.SetStep(15);
        EXPECT_EQ(bar.SetPos(10), 0);
        EXPECT_EQ(bar.SetPos(25), 10);
        EXPECT_EQ(bar.GetMaxRange(), 40);
        EXPECT_EQ(bar.StepIt(), 40);
        EXPECT_EQ(bar.StepIt(), past == PastTheEnd::Wrap ? 15 : 40);
        EXPECT_EQ(bar.SetPos(99), past == PastTheEnd::Wrap ? 15 : 40);
        EXPECT_EQ(bar.position(), 40);
        EXPECT_EQ(bar.Percent(), 100);
        bar.SetPos(-5);
        EXPECT_EQ(bar.position(), 0);
        // A new range keeps the position, moved to its nearer end.
        bar.SetRange(200, 400);
        EXPECT_EQ(bar.position(), 200);
        bar.SetPos(300);
        EXPECT_EQ(bar.Percent(), 50);
        bar.SetRange(5, 5);
        EXPECT_EQ(bar.Percent(), 0);
    }
}

}  // namespace
}  // namespace cordane
