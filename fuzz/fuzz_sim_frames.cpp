// Fuzz target for the reader emulator: whatever a host sends, the reader model answers without
// crashing, reading or writing out of bounds.
//
// Input: byte 0 chooses the reader (bit 0: type 0 or 1; bits 4-7, when not 0, a large reader
// type 2 to 9 instead; bit 1: raw or addressed loader; bit 3: faults injected at frames 2, 3 and
// 5 of each session); bit 2 chooses how the rest is read:
//   set:   raw bytes off the line, through the wire decoder, every frame handed to the reader;
//   clear: records [tag][length, 16 bits little-endian][payload], each one frame handed to the
//          reader directly (tag 0, 6, 7: Message; 1: ResetLoader; 2: LeaveLoader; 3: EraseData;
//          4: the host closes the line; 5: a kind no reader knows), so that loader frames reach
//          the loaders without having to guess CRCs.
//
// Every Message frame also goes to a light reset's loader in which the detection loader already
// runs, so that ReadMemory is reached without the whole loader having to be guessed.
//
// Checked for every frame: a reply is empty or exactly one good wire frame, a loader answer is
// one status byte or the few bytes a ReadMemory read, and the flash dump keeps its size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "sim/addressed_loader.h"
#include "sim/light_loader.h"
#include "sim/raw_loader.h"
#include "sim/reader_model.h"

namespace {

using namespace korvel::sim;
using korvel::wire::Decoder;
using korvel::wire::Frame;
using korvel::wire::Kind;

void Check(bool condition) {
    if (!condition) std::abort();
}

void CheckReply(const Reply& reply) {
    if (reply.bytes.empty()) return;
    Decoder decoder;
    decoder.Feed(reply.bytes.data(), reply.bytes.size());
    Frame frame;
    Check(decoder.Next(frame));
    Check(decoder.Buffered() == 0);
    if (reply.loaderAnswer) {
        Check(frame.kind == Kind::Message && frame.payload.size() <= kMaxSecondRead);
    }
}

// A light reset's loader answers one status byte, or at most 7 bytes read.
void PlayLight(LightLoader& light, const Frame& frame) {
    if (frame.kind != Kind::Message) return;
    const FrameReport report = light.Take(frame.payload);
    if (report.data) {
        Check(report.status == status::kAccepted && report.data->size() <= kMaxSecondRead);
    }
}

void Play(ReaderModel& reader, LightLoader& light, const Frame& frame) {
    CheckReply(reader.Take(frame));
    PlayLight(light, frame);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t config = data[0];
    const std::span<const uint8_t> rest(data + 1, size - 1);

    FaultPlan faults;
    if (config & 0x08) {
        faults = {
            {2, {FaultKind::Fail, 0x44}}, {3, {FaultKind::Drop, 0}}, {5, {FaultKind::HangUp, 0}}};
    }
    const unsigned large = config >> 4;
    const ReaderLayout& layout = *FindLayout(large == 0 ? (config & 0x01) : 2 + (large - 1) % 8);
    ReaderModel reader(layout, (config & 0x02) ? LoaderKind::Addressed : LoaderKind::Raw, faults);
    LightLoader light(DefaultIdentity(2 + large % 8).value_or(IdentityBytes{}), true);

    // The frame parsers on their own, over the whole input.
    (void)ParseRawDescriptor(rest);
    (void)ParseAddressedHeader(rest);

    if (config & 0x04) {
        Decoder decoder;
        for (size_t at = 0; at < rest.size(); at += korvel::wire::kMaxFrame) {
            const size_t slice = std::min(korvel::wire::kMaxFrame, rest.size() - at);
            decoder.Feed(rest.data() + at, slice);
            Frame frame;
            while (decoder.Next(frame)) Play(reader, light, frame);
        }
    } else {
        for (size_t at = 0; at + 3 <= rest.size();) {
            const uint8_t tag = rest[at];
            const size_t wanted = rest[at + 1] | (rest[at + 2] << 8);
            at += 3;
            const size_t length = std::min(wanted, rest.size() - at);
            Frame frame;
            frame.payload.assign(rest.begin() + at, rest.begin() + at + length);
            at += length;
            switch (tag & 0x07) {
                case 1:
                    frame.kind = Kind::ResetLoader;
                    break;
                case 2:
                    frame.kind = Kind::LeaveLoader;
                    break;
                case 3:
                    frame.kind = Kind::EraseData;
                    break;
                case 4:
                    reader.HostClosed();
                    continue;
                case 5:
                    frame.kind = static_cast<Kind>(tag);
                    break;
                default:
                    frame.kind = Kind::Message;
                    break;
            }
            Play(reader, light, frame);
        }
    }
    reader.Exit();
    Check(reader.Flash().Dump().size() == layout.dumpSize);
    return 0;
}
