#include "zr318/wire.h"

#include <algorithm>
#include <cstring>

#include "base/crc16.h"

namespace korvel::wire {
namespace {

uint8_t HeaderCheck(uint8_t kind, uint8_t lengthLow, uint8_t lengthHigh) {
    return static_cast<uint8_t>(0xFF ^ kind ^ lengthLow ^ lengthHigh);
}

}  // namespace

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Message:
            return "Message";
        case Kind::ResetLoader:
            return "ResetLoader";
        case Kind::LoaderReady:
            return "LoaderReady";
        case Kind::LeaveLoader:
            return "LeaveLoader";
        case Kind::EraseData:
            return "EraseData";
        case Kind::EraseDataDone:
            return "EraseDataDone";
    }
    return "unknown";
}

uint16_t Crc16X25(const uint8_t* data, size_t size) {
    return base::Crc16X25(data, size);
}

bool EncodeInto(std::vector<uint8_t>& out, Kind kind, const uint8_t* payload, size_t size) {
    if (size > kMaxPayload || (size > 0 && payload == nullptr)) return false;
    const size_t at = out.size();
    out.resize(at + kHeaderSize + size + kCrcSize);
    uint8_t* frame = out.data() + at;
    const auto kindByte = static_cast<uint8_t>(kind);
    const auto low = static_cast<uint8_t>(size & 0xFF);
    const auto high = static_cast<uint8_t>(size >> 8);
    frame[0] = kSync1;
    frame[1] = kSync2;
    frame[2] = kindByte;
    frame[3] = low;
    frame[4] = high;
    frame[5] = HeaderCheck(kindByte, low, high);
    if (size > 0) std::memcpy(frame + kHeaderSize, payload, size);
    const uint16_t crc = Crc16X25(frame + 2, kHeaderSize - 2 + size);
    frame[kHeaderSize + size] = static_cast<uint8_t>(crc & 0xFF);
    frame[kHeaderSize + size + 1] = static_cast<uint8_t>(crc >> 8);
    return true;
}

std::vector<uint8_t> Encode(Kind kind, const uint8_t* payload, size_t size) {
    std::vector<uint8_t> out;
    if (!EncodeInto(out, kind, payload, size)) out.clear();
    return out;
}

Decoder::Decoder() {
    buffer_.reserve(kCapacity);
}

void Decoder::Feed(const uint8_t* data, size_t size) {
    if (size == 0 || data == nullptr) return;
    // Only the newest kCapacity bytes of a flood can matter.
    if (size > kCapacity) {
        const size_t skipped = size - kCapacity;
        stats_.evictedBytes += skipped;
        stats_.droppedBytes += skipped;
        data += skipped;
        size = kCapacity;
    }
    if (start_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    const size_t room = kCapacity - buffer_.size();
    if (size > room) {
        const size_t evict = size - room;
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(evict));
        stats_.evictedBytes += evict;
        stats_.droppedBytes += evict;
    }
    buffer_.insert(buffer_.end(), data, data + size);
}

void Decoder::Drop(size_t count) {
    start_ += count;
    stats_.droppedBytes += count;
}

size_t Decoder::Missing() const {
    const size_t available = Buffered();
    if (available < kHeaderSize) return kHeaderSize - available;
    const uint8_t* base = buffer_.data() + start_;
    const size_t length = static_cast<size_t>(base[3]) | (static_cast<size_t>(base[4]) << 8);
    const size_t total = kHeaderSize + std::min(length, kMaxPayload) + kCrcSize;
    return total > available ? total - available : 1;
}

bool Decoder::Next(Frame& frame) {
    for (;;) {
        const uint8_t* base = buffer_.data() + start_;
        const size_t available = buffer_.size() - start_;
        // Skip to the next sync pair; a lone first sync byte at the end may still be one.
        size_t skip = 0;
        while (skip < available &&
               !(base[skip] == kSync1 && (skip + 1 == available || base[skip + 1] == kSync2))) {
            ++skip;
        }
        if (skip > 0) {
            Drop(skip);
            continue;
        }
        if (available < kHeaderSize) return false;

        const uint8_t kind = base[2];
        const uint8_t low = base[3];
        const uint8_t high = base[4];
        const size_t length = static_cast<size_t>(low) | (static_cast<size_t>(high) << 8);
        if (length > kMaxPayload || base[5] != HeaderCheck(kind, low, high)) {
            ++stats_.badHeaders;
            Drop(1);
            continue;
        }
        const size_t total = kHeaderSize + length + kCrcSize;
        if (available < total) return false;

        const uint16_t expected = static_cast<uint16_t>(base[kHeaderSize + length] |
                                                        (base[kHeaderSize + length + 1] << 8));
        if (Crc16X25(base + 2, kHeaderSize - 2 + length) != expected) {
            ++stats_.badCrcs;
            Drop(1);
            continue;
        }
        frame.kind = static_cast<Kind>(kind);
        frame.payload.assign(base + kHeaderSize, base + kHeaderSize + length);
        start_ += total;
        ++stats_.frames;
        if (start_ == buffer_.size()) {
            buffer_.clear();
            start_ = 0;
        }
        return true;
    }
}

void Decoder::Clear() {
    buffer_.clear();
    start_ = 0;
}

}  // namespace korvel::wire
