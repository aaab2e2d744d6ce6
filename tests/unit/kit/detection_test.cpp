// Reader detection on the scripted fake link, with a virtual clock.
#include "kit/detection.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "cordane/cordane.h"
#include "cordane/formats/srec.h"
#include "cordane/platform.h"
#include "kit/detection_loader.h"
#include "kit/detection_loader_block.h"
#include "zr_fake.h"

#include "support/temp_dir.h"

namespace korvel::kit {
namespace {

// Frames of a detection with the built-in loader: 30 chunks, start, identify 1 and 2, end.
constexpr size_t kChunks = 30;
constexpr size_t kStartFrame = kChunks + 1;
constexpr size_t kIdentify1Frame = kChunks + 2;
constexpr size_t kIdentify2Frame = kChunks + 3;
const std::vector<uint8_t> kEndFrame{0, 0, 8, 0, 0, 0, 0, 0, 0};

std::vector<uint8_t> LoaderBlock() {
    std::vector<uint8_t> block(detect::kBlockCapacity);
    const auto result = cordane::ConvertSrecWindow(
        reinterpret_cast<const uint8_t*>(kDetectionLoader), kDetectionLoaderLength, block.data(),
        block.size(), detect::kWindowLower, detect::kWindowUpper);
    EXPECT_EQ(result.error, cordane::SrecError::None);
    block.resize(result.length);
    return block;
}

uint32_t Address(const std::vector<uint8_t>& frame, size_t at) {
    return uint32_t{frame[at]} << 16 | uint32_t{frame[at + 1]} << 8 | frame[at + 2];
}

class DetectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        KvSetTimeSource(
            [](uint32_t ms, void* context) {
                static_cast<DetectionTest*>(context)->log.push_back("Sleep " + std::to_string(ms));
            },
            [](void*) -> uint64_t { return 0; }, this);
        zrfake::SetLog([this](const std::string& line) { log.push_back(line); });
        options.debugFile = temp.File("Dbg.txt");
    }
    void TearDown() override {
        zrfake::SetLog(nullptr);
        KvSetTimeSource(nullptr, nullptr, nullptr);
    }

    // Runs a detection whose identification reads answer `first` and `second`.
    DetectionResult Detect(std::vector<uint8_t> first, std::vector<uint8_t> second) {
        zrfake::Script script;
        script.replies[kIdentify1Frame] = {0, ZR_OK, std::move(first)};
        script.replies[kIdentify2Frame] = {0, ZR_OK, std::move(second)};
        return Detect(std::move(script));
    }
    DetectionResult Detect(zrfake::Script script) {
        zrfake::Reset(std::move(script));
        log.clear();
        return DetectReader(0x80000003u, options);
    }

    // The session ended: the last frame is the end frame, then the link is closed, once.
    void ExpectEnded() {
        const auto frames = zrfake::SentFrames();
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.back(), kEndFrame);
        const auto calls = zrfake::Calls();
        EXPECT_EQ(calls.back().op, "ZrClose");
        size_t closes = 0;
        for (const auto& call : calls) closes += call.op == "ZrClose";
        EXPECT_EQ(closes, 1u);
        EXPECT_EQ(zrfake::OpenHandles(), 0u);
    }

    size_t Count(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& line : log) n += line.rfind(prefix, 0) == 0;
        return n;
    }

    std::vector<std::string> log;
    korvel::testkit::TempDir temp;
    DetectionOptions options;
};

TEST_F(DetectionTest, BuiltInLoaderHasTheLoaderShape) {
    const std::string text(kDetectionLoader, kDetectionLoaderLength);
    EXPECT_EQ(text.size(), 13676u);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    size_t s0 = 0, s2 = 0, s8 = 0;
    for (size_t at = text.find('S'); at != std::string::npos; at = text.find('S', at + 1)) {
        const int count = std::stoi(text.substr(at + 2, 2), nullptr, 16);
        if (text[at + 1] == '0') ++s0;
        if (text[at + 1] == '2') {
            ++s2;
            EXPECT_LE(count - 4, 32);
        }
        if (text[at + 1] == '8') {
            ++s8;
            EXPECT_EQ(text.substr(at + 4, 6), "080009");
        }
        at += 3 + 2 * count;
    }
    EXPECT_EQ(s0, 1u);
    EXPECT_EQ(s2, 185u);
    EXPECT_EQ(s8, 1u);
    EXPECT_EQ(text.rfind("S8", 0), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 12, 2), "S8");  // the end record comes last

    const auto block = LoaderBlock();
    ASSERT_EQ(block.size(), 7138u);  // 0x80009 to 0x81BEA
    EXPECT_NE(block.back(), 0xFF);
    // Two gaps of 0xFF inside the data (runs longer than any chance run of 0xFF bytes).
    size_t gaps = 0, run = 0;
    for (uint8_t byte : block) {
        run = byte == 0xFF ? run + 1 : 0;
        gaps += run == 64;
    }
    EXPECT_EQ(gaps, 2u);

    // The committed text file is the one the program carries.
    std::ifstream file(KORVEL_SOURCE_DIR "/kit/res/detection_loader.sre", std::ios::binary);
    const std::string committed{std::istreambuf_iterator<char>(file), {}};
    EXPECT_EQ(committed, text);
    // The size and digest by which the emulator knows the loader are those of this block.
    uint64_t digest = 0xCBF29CE484222325ULL;
    for (uint8_t byte : block) digest = (digest ^ byte) * 0x100000001B3ULL;
    EXPECT_EQ(block.size(), kDetectionLoaderBlockSize);
    EXPECT_EQ(digest, kDetectionLoaderBlockDigest);
}

TEST_F(DetectionTest, LoadsTheLoaderInChunksThenIdentifies) {
    const auto result = Detect({5, 0}, {0x48, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(result.Ok()) << result.detail;
    EXPECT_EQ(result.readerType, KvLarge9);
    EXPECT_TRUE(result.messages.empty());
    EXPECT_EQ(result.openCalls, 1);
    EXPECT_EQ(IdentificationText(result), "05 00 48 00 00 00 00 00 00");

    const auto block = LoaderBlock();
    const auto frames = zrfake::SentFrames();
    ASSERT_EQ(frames.size(), kChunks + 4);
    for (size_t k = 0; k < kChunks; ++k) {
        const auto& frame = frames[k];
        const size_t size = k < 29 ? 240 : 178;
        ASSERT_EQ(frame.size(), 9 + size) << "chunk " << k;
        EXPECT_EQ(frame[0] << 8 | frame[1], static_cast<int>(size));
        EXPECT_EQ(frame[2], 1);  // LoadRoutine
        EXPECT_EQ(Address(frame, 3), 0x80000u);
        EXPECT_EQ(Address(frame, 6), 0x80000u + 240 * k);
        EXPECT_TRUE(std::equal(frame.begin() + 9, frame.end(), block.begin() + 240 * k));
    }
    EXPECT_EQ(frames[kStartFrame - 1],
              (std::vector<uint8_t>{0, 1, 0, 0x08, 0, 0, 0x08, 0, 0, block[0]}));
    EXPECT_EQ(frames[kIdentify1Frame - 1],
              (std::vector<uint8_t>{0, 0, 0x0A, 0, 0, 2, 0, 0x10, 0x00}));
    EXPECT_EQ(frames[kIdentify2Frame - 1],
              (std::vector<uint8_t>{0, 0, 0x0A, 0, 0, 7, 0, 0xF0, 0x01}));
    ExpectEnded();

    // A 1 ms pause before every chunk and before the start frame, and no other pause.
    EXPECT_EQ(Count("Sleep 1"), kChunks + 1);
    EXPECT_EQ(Count("Sleep"), kChunks + 1);
    for (size_t i = 0; i + 1 < log.size(); ++i) {
        if (log[i].rfind("ZrSendMessage", 0) == 0 &&
            log[i].find("[9] 00 00 0A") == std::string::npos &&
            log[i].find("[9] 00 00 08") == std::string::npos) {
            EXPECT_EQ(log[i - 1], "Sleep 1") << log[i];
        }
    }

    // Dbg.txt holds the loader block's used bytes, raw.
    std::ifstream dbg(options.debugFile, std::ios::binary);
    const std::vector<uint8_t> written{std::istreambuf_iterator<char>(dbg), {}};
    EXPECT_EQ(written, block);
    EXPECT_TRUE(result.debugWritten);
    EXPECT_EQ(result.loaderBytes, 7138u);
}

TEST_F(DetectionTest, DecisionTableGivesEveryLargeType) {
    struct Case {
        std::vector<uint8_t> first, second;
        int type;
        uint32_t secondAddress;
    };
    const std::vector<Case> cases{
        {{4, 0}, {0, 0, 0}, KvOrb512, 0x86001},
        {{0, 9}, {1, 0, 0}, KvTal512, 0x86001},
        {{4, 0}, {0, 0, 1}, KvLarge8, 0x86001},
        {{4, 7}, {2, 0, 1}, KvTal512, 0x86001},  // byte 0 decides before byte 2
        {{5, 0}, {0x40, 0, 0, 0, 0, 0, 0}, KvTal1Mb, 0xF001},
        {{6, 0}, {0x08, 1, 2, 3, 4, 5, 6}, KvQuin3, 0xF001},
        {{5, 0}, {0x48, 0, 0, 0, 0, 0, 0}, KvLarge9, 0xF001},
        {{5, 1}, {0x48, 0, 0, 0, 0, 0, 0}, KvOrb1Mb, 0xF001},
        {{6, 0}, {0x48, 0, 0, 0, 0, 0, 0}, KvOrb1Mb, 0xF001},
        {{0xFF, 0}, {0xFF, 0, 0, 0, 0, 0, 0}, KvOrb1Mb, 0xF001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("g=" + std::to_string(c.first[0]) + " r=" + std::to_string(c.first[1]) +
                     " byte 0=" + std::to_string(c.second[0]));
        // Longer answers than asked for are fine: only the bytes asked for count.
        auto second = c.second;
        second.push_back(0xEE);
        const auto result = Detect(c.first, second);
        ASSERT_TRUE(result.Ok()) << result.detail;
        EXPECT_EQ(result.readerType, c.type);
        EXPECT_EQ(result.secondAnswer, c.second);
        const auto frames = zrfake::SentFrames();
        EXPECT_EQ(Address(frames[kIdentify2Frame - 1], 6), c.secondAddress);
        EXPECT_EQ(frames[kIdentify2Frame - 1][5], c.second.size());
        ExpectEnded();
    }
}

TEST_F(DetectionTest, OpensAtTheThirdCallAfterTwoPauses) {
    zrfake::Script script;
    script.resetResults = {ZR_FAIL_BASE + 3, ZR_FAIL_BASE + 5, 0};
    script.replies[kIdentify1Frame] = {0, ZR_OK, {4, 0}};
    script.replies[kIdentify2Frame] = {0, ZR_OK, {0, 0, 0}};
    const auto result = Detect(std::move(script));
    ASSERT_TRUE(result.Ok()) << result.detail;
    EXPECT_EQ(result.readerType, KvOrb512);
    EXPECT_EQ(result.openCalls, 3);
    ASSERT_GE(log.size(), 5u);
    EXPECT_EQ(log[1], "Sleep 100");
    EXPECT_EQ(log[3], "Sleep 100");
    EXPECT_EQ(Count("Sleep 100"), 2u);
    ExpectEnded();
}

TEST_F(DetectionTest, ThreeFailedOpensFailWithoutAFrame) {
    zrfake::Script script;
    script.resetResults = {ZR_FAIL_BASE + 3, ZR_FAIL_BASE + 3, ZR_FAIL_BASE + 4};
    const auto result = Detect(std::move(script));
    EXPECT_EQ(result.failure, DetectionFailure::OpenFailed);
    EXPECT_EQ(result.readerType, -1);
    EXPECT_EQ(result.openCalls, 3);
    EXPECT_EQ(Count("Sleep 100"), 2u);  // between the calls, none after the last
    EXPECT_NE(log.back().find("ZrResetAndOpen512Light"), std::string::npos) << log.back();
    // The last call's refusal: a reader that does not take the light reset, told in words (the
    // caller names the port as its user gave it).
    EXPECT_TRUE(result.ResetRefused());
    EXPECT_NE(result.detail.find("refused the light reset (3 tries), as the 64 Kb readers do"),
              std::string::npos)
        << result.detail;
    EXPECT_EQ(result.detail.find("0x"), std::string::npos) << result.detail;
    EXPECT_TRUE(zrfake::SentFrames().empty());  // nothing to end on a link that never opened
    EXPECT_EQ(zrfake::OpenHandles(), 0u);
    ASSERT_EQ(result.messages.size(), 1u);
    EXPECT_EQ(result.messages[0].text,
              "Problèmes de dialogue avec le lecteur.\nVérifier que celui-ci est correctement "
              "connecté.");
    EXPECT_EQ(result.messages[0].caption, "");
    EXPECT_FALSE(std::filesystem::exists(options.debugFile));
}

TEST_F(DetectionTest, NoMemoryForTheLoaderShowsItsBoxBeforeTheLinkCloses) {
    options.allocate = [](size_t) { return std::unique_ptr<uint8_t[]>(); };
    options.show = [this](const DetectionMessage& message) {
        log.push_back("Box " + message.caption + ": " + message.text);
    };
    const auto result = Detect(zrfake::Script{});
    EXPECT_EQ(result.failure, DetectionFailure::OutOfMemory);
    // The allocation box, the end frame and the close, then the failure's message; no chunk.
    const auto at = [&](const std::string& prefix) {
        for (size_t i = 0; i < log.size(); ++i) {
            if (log[i].rfind(prefix, 0) == 0) return i;
        }
        return log.size();
    };
    const size_t box = at(std::string("Box SLoader: ") + kAllocationText);
    const size_t close = at("ZrClose");
    const size_t failed = at(std::string("Box : ") + kDetectionFailedText);
    ASSERT_LT(failed, log.size());
    EXPECT_LT(box, close);
    EXPECT_LT(close, failed);
    EXPECT_EQ(zrfake::SentFrames().size(), 1u);  // only the end frame
    ExpectEnded();
    ASSERT_EQ(result.messages.size(), 2u);
    EXPECT_FALSE(result.messages[0].owned);
}

TEST_F(DetectionTest, RefusedOrLostChunkEndsTheSession) {
    struct Case {
        const char* what;
        zrfake::Script script;
        size_t accepted;
    };
    std::vector<Case> cases(4);
    cases[0] = {"status 0x21 on chunk 5", {}, 4};
    cases[0].script.replies[5] = {0, ZR_OK, {0x21}};
    cases[1] = {"no answer to the last chunk", {}, 29};
    cases[1].script.replies[30] = {3, ZR_TIMEOUT, {}};
    cases[2] = {"send failure on chunk 1", {}, 0};
    cases[2].script.sendResults[1] = 1;
    cases[3] = {"empty answer to chunk 2", {}, 1};
    cases[3].script.replies[2] = {0, ZR_OK, {}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto result = Detect(std::move(c.script));
        EXPECT_EQ(result.failure, DetectionFailure::ChunkRefused);
        EXPECT_EQ(result.chunksSent, c.accepted);
        const auto frames = zrfake::SentFrames();
        EXPECT_EQ(frames.size(), c.accepted + 2);  // the refused chunk, then the end frame
        ExpectEnded();
        ASSERT_EQ(result.messages.size(), 1u);
        EXPECT_EQ(result.messages[0].text, kDetectionFailedText);
        char address[16];
        std::snprintf(address, sizeof address, "0x%06X",
                      static_cast<unsigned>(0x80000 + 240 * c.accepted));
        EXPECT_NE(result.detail.find(address), std::string::npos) << result.detail;
    }
}

TEST_F(DetectionTest, MissingOrShortIdentificationIsAFailureNotAGuess) {
    struct Case {
        const char* what;
        uint8_t g;  // the first detection byte when identify 1 answers
        size_t frame;
        zrfake::Reply reply;
    };
    const std::vector<Case> cases{
        {"one detection byte", 5, kIdentify1Frame, {0, ZR_OK, {5}}},
        {"no answer to identify 1", 5, kIdentify1Frame, {0, ZR_TIMEOUT, {}}},
        {"short identify 2", 4, kIdentify2Frame, {0, ZR_OK, {0, 0}}},
        {"short identify 3", 5, kIdentify2Frame, {0, ZR_OK, {0x48, 0, 0, 0, 0, 0}}},
        {"link failure on identify 3", 5, kIdentify2Frame, {0, 9, {}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        zrfake::Script script;
        script.replies[kIdentify1Frame] = {0, ZR_OK, {c.g, 0}};
        script.replies[c.frame] = c.reply;
        const auto result = Detect(std::move(script));
        EXPECT_EQ(result.failure, DetectionFailure::NoIdentity);
        EXPECT_EQ(result.readerType, -1);
        EXPECT_NE(result.detail.find("bytes at 0x"), std::string::npos) << result.detail;
        ExpectEnded();
        ASSERT_EQ(result.messages.size(), 1u);
        EXPECT_EQ(result.messages[0].text, kDetectionFailedText);
    }
}

TEST_F(DetectionTest, LoaderThatDoesNotConvertFailsBeforeAnyChunk) {
    options.loader = "S2080800090102030400";  // bad checksum, no end record
    const auto result = Detect(zrfake::Script{});
    EXPECT_EQ(result.failure, DetectionFailure::BadLoader);
    EXPECT_NE(result.detail.find("detection loader"), std::string::npos) << result.detail;
    ASSERT_EQ(zrfake::SentFrames().size(), 1u);  // only the end frame
    ExpectEnded();
}

}  // namespace
}  // namespace korvel::kit
