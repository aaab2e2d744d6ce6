// Framing of addressed frames and the exchange of one frame.

#include <gmock/gmock.h>

#include "exchange.h"
#include "harness.h"
#include "status.h"

using ::testing::ElementsAre;

namespace enginetest {
namespace {

using cordane::LoaderCommand;
using cordane::LoaderHeader;

TEST(LoaderHeader, IsNineBigEndianBytes) {
    EXPECT_THAT(cordane::BuildLoaderHeader({0, LoaderCommand::EndSession, 0, 0}),
                ElementsAre(0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00));
    EXPECT_THAT(cordane::BuildLoaderHeader({255, LoaderCommand::WriteBlock, 0, 0x4000}),
                ElementsAre(0x00, 0xFF, 0x03, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00));
    // Bits 24 to 31 of an address are dropped; the length's high byte is length / 256.
    EXPECT_THAT(
        cordane::BuildLoaderHeader({0x1234, LoaderCommand::RunRoutine, 0xAB080000, 0x0800F5}),
        ElementsAre(0x12, 0x34, 0x00, 0x08, 0x00, 0x00, 0x08, 0x00, 0xF5));
}

TEST(StatusTable, MessagesOfEachStatus) {
    EXPECT_STREQ(cordane::StatusMessage(3), "Error opening download session.");
    EXPECT_STREQ(cordane::StatusMessage(4), "Communication error.");
    EXPECT_STREQ(cordane::StatusMessage(5), "No response from the reader.");
    EXPECT_STREQ(cordane::StatusMessage(6), "Download cancelled.");
    EXPECT_STREQ(cordane::StatusMessage(0x21), "Download error.");
    EXPECT_STREQ(cordane::StatusMessage(1), "Download error.");
}

class ExchangeTest : public EngineTest {
  protected:
    int Exchange(zrfake::Script script) {
        zrfake::Reset(std::move(script));
        cordane::LinkHandle link;
        ZrOpen(0, 1, 2, 55, link.Out());
        const uint8_t payload[3] = {1, 2, 3};
        const int result =
            cordane::ExchangeLoaderFrame(link, payload, {3, LoaderCommand::WriteBlock, 0, 0x2000});
        stillOpen = link.IsOpen();
        link.Release();
        return result;
    }
    bool stillOpen = false;
};

TEST_F(ExchangeTest, ResultsOfOneFrame) {
    struct Case {
        const char* name;
        std::map<size_t, int> send;
        zrfake::Reply reply;
        int result;
    };
    const std::vector<Case> cases = {
        {"accepted after waiting", {}, {25, 0, {0x00}}, 0}, {"send fails", {{1, 7}}, {}, 4},
        {"no answer in time", {}, {3, 6, {}}, 5},           {"serial failure", {}, {0, 9, {}}, 4},
        {"loader refuses", {}, {0, 0, {0x07, 0x01}}, 7},    {"empty answer", {}, {0, 0, {}}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        zrfake::Script script;
        script.sendResults = c.send;
        script.replies[1] = c.reply;
        EXPECT_EQ(Exchange(script), c.result);
        // The handle stays open only after success; it is closed on every failure.
        EXPECT_EQ(stillOpen, c.result == 0);
        EXPECT_EQ(zrfake::OpenHandles(), c.result == 0 ? 1u : 0u);
    }
    EXPECT_THAT(zrfake::SentFrames().back(),
                ElementsAre(0x00, 0x03, 0x03, 0, 0, 0, 0x00, 0x20, 0x00, 1, 2, 3));
}

TEST_F(ExchangeTest, DetectionVariantKeepsTheHandleAndCopiesTheAnswer) {
    zrfake::Script script;
    script.replies[1] = {2, 0, {0x00, 0x42, 0x43}};
    script.replies[2] = {0, 6, {}};
    script.sendResults[3] = 1;
    script.replies[4] = {0, 0, {0x09}};
    zrfake::Reset(script);
    uint8_t answer[8] = {};
    int length = -1;
    const LoaderHeader header{0, LoaderCommand::EndSession, 0, 0};
    EXPECT_EQ(cordane::DetectionExchange(0x101, nullptr, header, answer, sizeof answer, &length),
              0);
    EXPECT_EQ(length, 3);
    EXPECT_THAT(std::vector<uint8_t>(answer, answer + 3), ElementsAre(0x00, 0x42, 0x43));
    EXPECT_EQ(cordane::DetectionExchange(0x101, nullptr, header, answer, sizeof answer, &length),
              6);
    EXPECT_EQ(cordane::DetectionExchange(0x101, nullptr, header, answer, sizeof answer, &length),
              1);
    EXPECT_EQ(cordane::DetectionExchange(0x101, nullptr, header, answer, 0, &length), 4);
    EXPECT_EQ(length, 0);  // no room: nothing copied, no status byte to read
    for (const auto& call : zrfake::Calls()) EXPECT_NE(call.op, "ZrClose");
}

}  // namespace
}  // namespace enginetest
