// Fuzz target for the link's frame decoder. The input's first byte seeds the chunk sizes; the
// rest is the byte stream, fed in chunks of 1 to kMaxFrame bytes with every frame taken out after
// each chunk.
//
// Checked for every input:
//   - each frame handed out has a payload of at most kMaxPayload bytes, and its encoding (with
//     its CRC) occurs in the stream as it is: the decoder never makes up or alters a frame;
//   - the decoder never holds more than its capacity;
//   - fed in chunks, the decoder hands out the same frames as fed the stream at once (as long as
//     the whole stream fits its capacity).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "zr318/wire.h"

namespace {

using korvel::wire::Decoder;
using korvel::wire::Encode;
using korvel::wire::Frame;
using korvel::wire::kMaxFrame;
using korvel::wire::kMaxPayload;

void Check(bool condition) {
    if (!condition) std::abort();
}

// Small deterministic generator for the chunk sizes.
uint32_t NextRandom(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

void CheckFrame(const Frame& frame, const uint8_t* stream, size_t size) {
    Check(frame.payload.size() <= kMaxPayload);
    const std::vector<uint8_t> encoded =
        Encode(frame.kind, frame.payload.data(), frame.payload.size());
    Check(!encoded.empty());
    Check(std::search(stream, stream + size, encoded.begin(), encoded.end()) != stream + size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint32_t state = data[0];
    const uint8_t* stream = data + 1;
    const size_t length = size - 1;
    // Small chunks most of the time, whole frames now and then.
    const uint32_t largest = (data[0] & 0x80) ? static_cast<uint32_t>(kMaxFrame) : 16u;

    Decoder chunked;
    std::vector<Frame> fromChunks;
    Frame frame;
    for (size_t at = 0; at < length;) {
        const size_t chunk = std::min<size_t>(1 + NextRandom(state) % largest, length - at);
        chunked.Feed(stream + at, chunk);
        at += chunk;
        Check(chunked.Buffered() <= Decoder::kCapacity);
        while (chunked.Next(frame)) {
            CheckFrame(frame, stream, length);
            fromChunks.push_back(frame);
        }
    }
    Check(chunked.Stats().frames == fromChunks.size());
    Check(chunked.Stats().evictedBytes == 0);

    if (length <= Decoder::kCapacity) {
        Decoder whole;
        whole.Feed(stream, length);
        size_t index = 0;
        while (whole.Next(frame)) {
            Check(index < fromChunks.size());
            Check(frame.kind == fromChunks[index].kind);
            Check(frame.payload == fromChunks[index].payload);
            ++index;
        }
        Check(index == fromChunks.size());
        Check(whole.BadFrames() == chunked.BadFrames());
    }
    return 0;
}
