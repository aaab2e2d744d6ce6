#include "zr318/wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace korvel::wire {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(Kind kind, const Bytes& payload) {
    return Encode(kind, payload.data(), payload.size());
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<wire::Frame> DecodeAll(Decoder& decoder, const Bytes& bytes, size_t chunk) {
    std::vector<wire::Frame> frames;
    wire::Frame frame;
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        decoder.Feed(bytes.data() + at, std::min(chunk, bytes.size() - at));
        while (decoder.Next(frame)) frames.push_back(frame);
    }
    return frames;
}

TEST(WireCrc, MatchesTheX25CheckValue) {
    const char* check = "123456789";
    EXPECT_EQ(Crc16X25(reinterpret_cast<const uint8_t*>(check), std::strlen(check)), 0x906E);
    EXPECT_EQ(Crc16X25(nullptr, 0), 0x0000);
}

TEST(WireEncode, LaysOutHeaderPayloadAndCrc) {
    const Bytes frame = Frame(Kind::ResetLoader, {0x01});
    ASSERT_EQ(frame.size(), 9u);
    EXPECT_EQ(frame[0], 0xA5);
    EXPECT_EQ(frame[1], 0x5A);
    EXPECT_EQ(frame[2], 0x10);
    EXPECT_EQ(frame[3], 0x01);  // length, low byte first
    EXPECT_EQ(frame[4], 0x00);
    EXPECT_EQ(frame[5], 0xFF ^ 0x10 ^ 0x01 ^ 0x00);
    EXPECT_EQ(frame[6], 0x01);
    const uint16_t crc = Crc16X25(frame.data() + 2, 5);
    EXPECT_EQ(frame[7], crc & 0xFF);
    EXPECT_EQ(frame[8], crc >> 8);

    const Bytes big(300, 0x33);
    const Bytes longFrame = Frame(Kind::Message, big);
    EXPECT_EQ(longFrame[3], 300 & 0xFF);
    EXPECT_EQ(longFrame[4], 300 >> 8);
}

TEST(WireEncode, RefusesPayloadAboveTheLimit) {
    const Bytes tooBig(kMaxPayload + 1, 0);
    EXPECT_TRUE(Encode(Kind::Message, tooBig.data(), tooBig.size()).empty());
    Bytes out{1, 2};
    EXPECT_FALSE(EncodeInto(out, Kind::Message, tooBig.data(), tooBig.size()));
    EXPECT_EQ(out, (Bytes{1, 2}));
    EXPECT_EQ(Encode(Kind::Message, tooBig.data(), kMaxPayload).size(), kMaxFrame);
}

TEST(WireDecoder, RoundTripsEveryKindAndSizeWholeOrByteByByte) {
    Bytes maxPayload(kMaxPayload);
    for (size_t i = 0; i < maxPayload.size(); ++i) maxPayload[i] = static_cast<uint8_t>(i * 7);
    const std::vector<std::pair<Kind, Bytes>> sent = {
        {Kind::Message, {0x00, 0x00, 0x08, 0x00}},
        {Kind::ResetLoader, {3}},
        {Kind::LoaderReady, {0, 1}},
        {Kind::LeaveLoader, {}},
        {Kind::EraseData, {}},
        {Kind::EraseDataDone, {0}},
        {Kind::Message, maxPayload},
        {Kind::Message, {kSync1, kSync2, kSync1}},  // sync bytes inside a payload are data
    };
    Bytes stream;
    for (const auto& [kind, payload] : sent) stream = Concat({stream, Frame(kind, payload)});

    for (size_t chunk : {stream.size(), size_t{1}, size_t{7}}) {
        Decoder decoder;
        const auto frames = DecodeAll(decoder, stream, chunk);
        ASSERT_EQ(frames.size(), sent.size()) << "chunk " << chunk;
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(frames[i].kind, sent[i].first);
            EXPECT_EQ(frames[i].payload, sent[i].second);
        }
        EXPECT_EQ(decoder.Stats().droppedBytes, 0u);
        EXPECT_EQ(decoder.BadFrames(), 0u);
        EXPECT_EQ(decoder.Buffered(), 0u);
    }
}

TEST(WireDecoder, FindsFramesAmidGarbageAndCountsWhatItSkipped) {
    const Bytes garbage = {0x00, kSync1, 0x13, kSync1, kSync1, 0xFF};
    const Bytes stream = Concat({garbage,
                                 Frame(Kind::Message, {1, 2, 3}),
                                 garbage,
                                 Frame(Kind::EraseDataDone, {0}),
                                 {kSync1}});
    Decoder decoder;
    const auto frames = DecodeAll(decoder, stream, 3);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].payload, (Bytes{1, 2, 3}));
    EXPECT_EQ(frames[1].kind, Kind::EraseDataDone);
    EXPECT_EQ(decoder.Stats().droppedBytes, 2 * garbage.size());
    // A trailing first sync byte may start the next frame: it is kept.
    EXPECT_EQ(decoder.Buffered(), 1u);
}

TEST(WireDecoder, DropsDamagedFramesAndKeepsTheFollowingOne) {
    const Bytes good = Frame(Kind::Message, {9, 8, 7});

    Bytes badCrc = Frame(Kind::Message, {1, 2, 3, 4});
    badCrc[7] ^= 0x40;
    Bytes badLength = Frame(Kind::Message, {1, 2, 3, 4});
    badLength[3] = 2;  // header check no longer matches
    Bytes tooLong = {kSync1, kSync2, 0x01, 0x01, 0x04, 0};
    tooLong[5] = 0xFF ^ 0x01 ^ 0x01 ^ 0x04;  // consistent check, but 1025 bytes

    struct Case {
        const char* name;
        Bytes damaged;
        uint64_t badHeaders;
        uint64_t badCrcs;
    };
    for (const Case& c : {Case{"bad crc", badCrc, 0, 1}, Case{"bad length", badLength, 1, 0},
                          Case{"length above limit", tooLong, 1, 0}}) {
        Decoder decoder;
        const auto frames = DecodeAll(decoder, Concat({c.damaged, good}), 1);
        ASSERT_EQ(frames.size(), 1u) << c.name;
        EXPECT_EQ(frames[0].payload, (Bytes{9, 8, 7})) << c.name;
        EXPECT_EQ(decoder.Stats().badHeaders, c.badHeaders) << c.name;
        EXPECT_EQ(decoder.Stats().badCrcs, c.badCrcs) << c.name;
    }
}

TEST(WireDecoder, FindsAFrameThatACutFrameSwallowed) {
    // The first frame breaks off after its header: its length takes in the next frame, whose
    // bytes must still be found once the CRC of the cut frame fails.
    const Bytes cut = Frame(Kind::Message, Bytes(40, 0x11));
    const Bytes good = Frame(Kind::LoaderReady, {0, 1});
    const Bytes stream = Concat({Bytes(cut.begin(), cut.begin() + 8), good, Bytes(40, 0x00)});
    Decoder decoder;
    const auto frames = DecodeAll(decoder, stream, stream.size());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, Kind::LoaderReady);
    EXPECT_EQ(decoder.Stats().badCrcs, 1u);
}

TEST(WireDecoder, StaysBoundedUnderAFloodAndRecovers) {
    Decoder decoder;
    const Bytes flood(10 * Decoder::kCapacity, kSync1);
    decoder.Feed(flood.data(), flood.size());
    EXPECT_LE(decoder.Buffered(), Decoder::kCapacity);
    for (int i = 0; i < 5; ++i) decoder.Feed(flood.data(), 1000);
    EXPECT_LE(decoder.Buffered(), Decoder::kCapacity);
    EXPECT_GT(decoder.Stats().evictedBytes, 0u);

    const Bytes good = Frame(Kind::Message, {5});
    const auto frames = DecodeAll(decoder, good, good.size());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload, (Bytes{5}));
}

TEST(WireDecoder, ClearForgetsAPartialFrame) {
    Decoder decoder;
    const Bytes good = Frame(Kind::Message, {1, 2});
    decoder.Feed(good.data(), 5);
    decoder.Clear();
    const auto frames = DecodeAll(decoder, good, good.size());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(decoder.Stats().droppedBytes, 0u);
}

// A reader that reads exactly what the decoder says is missing gets each frame whole, never a byte
// of the next: the decoder's count is what a read that lasts until its count has come may ask.
TEST(WireDecoder, MissingCountsToTheEndOfTheFrameInHand) {
    Bytes stream = Concat({Frame(Kind::LoaderReady, {0, 1}), Frame(Kind::Message, Bytes(300, 9)),
                           Frame(Kind::LeaveLoader, {})});
    Decoder decoder;
    EXPECT_EQ(decoder.Missing(), kHeaderSize);
    std::vector<size_t> asked;
    size_t at = 0;
    struct Frame frame;  // the type, not the helper that encodes one
    size_t frames = 0;
    while (at < stream.size()) {
        const size_t n = std::min(decoder.Missing(), stream.size() - at);
        asked.push_back(n);
        decoder.Feed(stream.data() + at, n);
        at += n;
        while (decoder.Next(frame)) ++frames;
    }
    EXPECT_EQ(frames, 3u);
    EXPECT_EQ(asked, (std::vector<size_t>{kHeaderSize, 2 + kCrcSize, kHeaderSize, 300 + kCrcSize,
                                          kHeaderSize, kCrcSize}));

    // A damaged length asks for a byte at a time until the decoder has dropped it.
    Decoder damaged;
    const Bytes bad = {kSync1, kSync2, 0x01, 0xFF, 0xFF, 0x00};
    damaged.Feed(bad.data(), bad.size());
    EXPECT_FALSE(damaged.Next(frame));
    EXPECT_GE(damaged.Missing(), 1u);
    EXPECT_LE(damaged.Missing(), kHeaderSize);
}

}  // namespace
}  // namespace korvel::wire
