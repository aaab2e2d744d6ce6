// Framing of the serial link between the host and a reader (or the reader emulator).
//
// Every frame, in both directions:
//
//   offset 0     0xA5           first sync byte
//   offset 1     0x5A           second sync byte
//   offset 2     kind           what the frame carries (Kind)
//   offset 3-4   length         payload length, little-endian, 0..kMaxPayload
//   offset 5     header check   0xFF ^ kind ^ length low ^ length high
//   offset 6..   payload
//   then         CRC-16/X-25 of bytes 2 .. 6+length-1, little-endian
//
// The decoder is incremental: feed it whatever the device delivered, then take complete frames
// out. A damaged header or CRC costs one byte: the decoder drops it and looks for the next sync
// pair, so a good frame right behind a damaged one (or inside noise) is still found.
#ifndef KORVEL_LINK_WIRE_H
#define KORVEL_LINK_WIRE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel::wire {

inline constexpr uint8_t kSync1 = 0xA5;
inline constexpr uint8_t kSync2 = 0x5A;
inline constexpr size_t kHeaderSize = 6;     // sync pair, kind, length (2), header check
inline constexpr size_t kCrcSize = 2;        // CRC-16/X-25, little-endian
inline constexpr size_t kMaxPayload = 1024;  // a larger length is a damaged header
inline constexpr size_t kMaxFrame = kHeaderSize + kMaxPayload + kCrcSize;

// What a frame carries. Values are the kind byte on the wire.
enum class Kind : uint8_t {
    Message = 0x01,        // both ways: one loader frame, or the loader's answer to it
    ResetLoader = 0x10,    // host to reader: 1 byte ResetMode; starts a new loader session
    LoaderReady = 0x11,    // reader to host: 2 bytes, status (0 = running) and loader kind
    LeaveLoader = 0x12,    // host to reader: no payload, no answer; the reader leaves its loader
    EraseData = 0x13,      // host to reader: no payload; erase the data flash
    EraseDataDone = 0x14,  // reader to host: 1 byte status (0 = done)
};

// Payload byte of a ResetLoader frame.
enum class ResetMode : uint8_t {
    Small = 0,  // 64 Kb reset; LoaderReady names the loader that answered
    Large = 1,  // reset of a large reader
    Modem = 2,  // reader on its modem base
    Light = 3,  // quick reset used by reader detection
};

// Loader kind byte of a LoaderReady frame answering a 64 Kb reset.
inline constexpr uint8_t kRawLoader = 0;
inline constexpr uint8_t kAddressedLoader = 1;

// Printable name of a kind byte ("Message", "ResetLoader", ..., "unknown").
const char* KindName(Kind kind);

// CRC-16/X-25: reflected polynomial 0x8408, initial value 0xFFFF, final xor 0xFFFF.
uint16_t Crc16X25(const uint8_t* data, size_t size);

// One frame taken off the wire.
struct Frame {
    Kind kind = Kind::Message;
    std::vector<uint8_t> payload;
};

// Appends the encoded frame to out. Returns false, leaving out as it was, when size exceeds
// kMaxPayload.
[[nodiscard]] bool EncodeInto(std::vector<uint8_t>& out, Kind kind, const uint8_t* payload,
                              size_t size);
// The encoded frame; empty (never a valid frame) when size exceeds kMaxPayload.
std::vector<uint8_t> Encode(Kind kind, const uint8_t* payload, size_t size);

// Counters of what the decoder saw since it was made.
struct DecoderStats {
    uint64_t frames = 0;        // good frames handed out
    uint64_t badHeaders = 0;    // sync pair followed by a length above kMaxPayload or a bad check
    uint64_t badCrcs = 0;       // complete frames whose CRC did not match
    uint64_t droppedBytes = 0;  // bytes skipped while looking for a sync pair, or evicted
    uint64_t evictedBytes = 0;  // of those, the oldest bytes pushed out by a flood
};

// Incremental decoder. Feed bytes, then call Next until it returns false. The decoder never holds
// more than kCapacity bytes: when a flood arrives without Next being called, the oldest bytes are
// dropped.
class Decoder {
  public:
    static constexpr size_t kCapacity = 2 * kMaxFrame;

    Decoder();

    void Feed(const uint8_t* data, size_t size);
    // Takes the next good frame out; false when no complete good frame is buffered.
    bool Next(Frame& frame);
    // Forgets the buffered bytes (a new session starts); the counters are kept.
    void Clear();

    size_t Buffered() const { return buffer_.size() - start_; }
    // Bytes still to come before the frame the buffered bytes begin can be whole (at least 1): a
    // header's worth when nothing is buffered, the rest of the payload and CRC once the header is
    // in. Call it after Next has returned false.
    size_t Missing() const;
    const DecoderStats& Stats() const { return stats_; }
    // Damaged frames seen so far: bad headers plus bad CRCs.
    uint64_t BadFrames() const { return stats_.badHeaders + stats_.badCrcs; }

  private:
    void Drop(size_t count);

    std::vector<uint8_t> buffer_;
    size_t start_ = 0;  // first unconsumed byte of buffer_
    DecoderStats stats_;
};

}  // namespace korvel::wire

#endif
