#include "sim/raw_loader.h"

#include <cstdio>

#include "base/hex.h"
#include "cordane/protocol.h"
#include "cordane/routines.h"

namespace korvel::sim {
namespace {

namespace raw = cordane::raw;

// Offsets in the download descriptor; every byte not named here is 0.
constexpr size_t kTagAt = 0;
constexpr size_t kPayloadAddressAt = 1;  // 16 bits, low byte first
constexpr size_t kBlocksAt = 5;          // 16 bits, low byte first
constexpr size_t kRemainderAt = 8;
constexpr size_t kSignatureAddressAt = 9;  // 16 bits, low byte first
constexpr size_t kSignatureLengthAt = 16;

uint16_t Le16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

// The refusal of a frame of the wrong size: "<what> must be <wanted> bytes; got <got>".
std::string WrongSize(const char* what, size_t wanted, size_t got) {
    char text[128];
    std::snprintf(text, sizeof text, "%s must be %zu bytes; got %zu", what, wanted, got);
    return text;
}

}  // namespace

uint32_t RawDescriptor::PayloadSize() const {
    return static_cast<uint32_t>(blocks) * raw::kBlock + remainder;
}

uint32_t RawDescriptor::DataFrames() const {
    const uint32_t size = PayloadSize();
    return size == 0 ? 1 : (size + raw::kBlock - 1) / raw::kBlock;
}

uint32_t RawDescriptor::FramePayload(uint32_t index) const {
    const uint64_t before = static_cast<uint64_t>(index) * raw::kBlock;
    const uint32_t size = PayloadSize();
    if (before >= size) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(raw::kBlock, size - before));
}

std::variant<RawDescriptor, std::string> ParseRawDescriptor(std::span<const uint8_t> frame) {
    if (frame.size() != raw::kDescriptorFrame) {
        return WrongSize("the download descriptor", raw::kDescriptorFrame, frame.size());
    }
    if (frame[kTagAt] != raw::kDescriptorTag) {
        char text[96];
        std::snprintf(text, sizeof text, "descriptor byte 0 must be 0x%02X; got 0x%02X",
                      raw::kDescriptorTag, frame[kTagAt]);
        return std::string(text);
    }
    RawDescriptor d;
    d.payloadAddress = Le16(frame, kPayloadAddressAt);
    d.blocks = Le16(frame, kBlocksAt);
    d.remainder = frame[kRemainderAt];
    d.signatureAddress = Le16(frame, kSignatureAddressAt);
    if (d.remainder >= raw::kBlock) {
        return "descriptor remainder " + std::to_string(d.remainder) +
               " is not below the block of " + std::to_string(raw::kBlock) + " bytes";
    }
    if (frame[kSignatureLengthAt] != raw::kSignatureLength) {
        return "descriptor signature length (byte 16) must be " +
               std::to_string(raw::kSignatureLength) + "; got " +
               std::to_string(frame[kSignatureLengthAt]);
    }
    for (size_t at = 0; at < frame.size(); ++at) {
        const bool named = at == kTagAt || at == kPayloadAddressAt || at == kPayloadAddressAt + 1 ||
                           at == kBlocksAt || at == kBlocksAt + 1 || at == kRemainderAt ||
                           at == kSignatureAddressAt || at == kSignatureAddressAt + 1 ||
                           at == kSignatureLengthAt;
        if (!named && frame[at] != 0) {
            return "descriptor byte " + std::to_string(at) + " must be 0; got " +
                   std::to_string(frame[at]);
        }
    }
    return d;
}

RawLoader::RawLoader(FlashModel& flash, std::span<const AcceptedRoutine> routines)
    : flash_(flash), routines_(routines) {}

FrameReport RawLoader::Describe(std::span<const uint8_t> frame) const {
    FrameReport report;
    switch (step_) {
        case Step::Erase:
        case Step::Program:
            if (frame.size() == raw::kRoutineFrame) {
                if (frame[0] == cordane::routines::kRawEraseMarker) report.kind = "routine-erase";
                if (frame[0] == cordane::routines::kRawProgramMarker) {
                    report.kind = "routine-program";
                }
            }
            break;
        case Step::Descriptor:
            report.kind = "descriptor";
            if (frame.size() > kPayloadAddressAt + 1)
                report.address = Le16(frame, kPayloadAddressAt);
            break;
        case Step::Data:
            report.kind = "data";
            report.address =
                descriptor_.payloadAddress + static_cast<uint32_t>(dataIndex_) * raw::kBlock;
            break;
        case Step::Signature:
            report.kind = "signature";
            report.address = descriptor_.signatureAddress;
            break;
        case Step::End:
            report.kind = "end";
            break;
        case Step::Done:
            break;
    }
    return report;
}

FrameReport RawLoader::Take(std::span<const uint8_t> frame) {
    FrameReport report = Describe(frame);
    switch (step_) {
        case Step::Erase:
            return TakeRoutine(frame, RoutineRole::Erase, std::move(report));
        case Step::Program:
            return TakeRoutine(frame, RoutineRole::Program, std::move(report));
        case Step::Descriptor:
            return TakeDescriptor(frame, std::move(report));
        case Step::Data:
            return TakeData(frame, std::move(report));
        case Step::Signature:
            return TakeSignature(frame, std::move(report));
        case Step::End:
            if (frame.size() != 1 || frame[0] != raw::kEndFrame) {
                report.status = status::kBadFrame;
                report.reason = "expected the end frame (the single byte 0x08)";
                return report;
            }
            step_ = Step::Done;
            report.endsSession = true;
            return report;
        case Step::Done:
            break;
    }
    report.status = status::kBadFrame;
    report.reason = "the loader session has ended; reset the reader to start another";
    return report;
}

FrameReport RawLoader::TakeRoutine(std::span<const uint8_t> frame, RoutineRole wanted,
                                   FrameReport report) {
    const AcceptedRoutine* expected = RoutineFor(routines_, wanted);
    const char* name = expected != nullptr ? expected->name : "routine";
    if (frame.size() != raw::kRoutineFrame) {
        // Image traffic before both routines are in place: nothing to program it with.
        report.status = status::kWriteBeforeProgram;
        report.reason = std::string("expected the ") + name + " routine frame (" +
                        std::to_string(raw::kRoutineFrame) + " bytes) before any image data; got " +
                        std::to_string(frame.size()) + " bytes";
        return report;
    }
    const AcceptedRoutine* routine = FindRoutine(routines_, frame);
    if (routine == nullptr) {
        report.status = status::kUnknownRoutine;
        report.reason = std::string("routine frame is not ") + name +
                        " (the routine bytes, then zeros to " + std::to_string(raw::kRoutineFrame) +
                        " bytes)";
        return report;
    }
    if (routine->role != wanted) {
        report.status = status::kBadFrame;
        report.reason = std::string(routine->name) + " out of turn; the loader expects " + name;
        return report;
    }
    if (wanted == RoutineRole::Erase) {
        flash_.EraseCode();
        step_ = Step::Program;
    } else {
        step_ = Step::Descriptor;
    }
    return report;
}

FrameReport RawLoader::TakeDescriptor(std::span<const uint8_t> frame, FrameReport report) {
    auto parsed = ParseRawDescriptor(frame);
    if (auto* reason = std::get_if<std::string>(&parsed)) {
        report.status = status::kBadFrame;
        report.reason = std::move(*reason);
        return report;
    }
    const RawDescriptor d = std::get<RawDescriptor>(parsed);
    if (!flash_.Writable(d.payloadAddress, d.PayloadSize())) {
        report.status = status::kOutsideFlash;
        report.reason = "the descriptor's payload " + base::HexNumber(d.payloadAddress, 4) + ".." +
                        base::HexNumber(uint64_t{d.payloadAddress} + d.PayloadSize(), 4) +
                        " leaves the application flash";
        return report;
    }
    if (!flash_.Writable(d.signatureAddress, raw::kSignatureLength)) {
        report.status = status::kOutsideFlash;
        report.reason = "the descriptor's signature address " +
                        base::HexNumber(d.signatureAddress, 4) +
                        " lies outside the application flash";
        return report;
    }
    descriptor_ = d;
    dataIndex_ = 0;
    step_ = Step::Data;
    return report;
}

FrameReport RawLoader::TakeData(std::span<const uint8_t> frame, FrameReport report) {
    const uint32_t payload = descriptor_.FramePayload(dataIndex_);
    const std::string which = "data frame " + std::to_string(dataIndex_ + 1) + " of " +
                              std::to_string(descriptor_.DataFrames());
    if (frame.size() != payload + 1u) {
        report.status = status::kBadFrame;
        report.reason = WrongSize(which.c_str(), payload + 1u, frame.size());
        return report;
    }
    // Every data frame repeats the byte in front of its block; after the first block that is the
    // last byte of the block before, so a host that sends from the wrong offset shows here.
    if (dataIndex_ > 0 && frame[0] != lastByte_) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "%s starts with 0x%02X, but the byte before its block is 0x%02X",
                      which.c_str(), frame[0], lastByte_);
        report.status = status::kBadFrame;
        report.reason = text;
        return report;
    }
    const WriteResult written = flash_.Write(*report.address, frame.subspan(1));
    if (written.status != status::kAccepted) {
        report.status = written.status;
        report.reason = written.reason;
        return report;
    }
    if (payload > 0) lastByte_ = frame.back();
    if (++dataIndex_ == descriptor_.DataFrames()) step_ = Step::Signature;
    return report;
}

FrameReport RawLoader::TakeSignature(std::span<const uint8_t> frame, FrameReport report) {
    if (frame.size() != raw::kSignatureFrame) {
        report.status = status::kBadFrame;
        report.reason = WrongSize("the signature frame", raw::kSignatureFrame, frame.size());
        return report;
    }
    if (frame[0] != 0) {
        report.status = status::kBadFrame;
        report.reason = "the signature frame must start with the 0 byte in front of the image";
        return report;
    }
    const WriteResult written = flash_.Write(descriptor_.signatureAddress, frame.subspan(1));
    if (written.status != status::kAccepted) {
        report.status = written.status;
        report.reason = written.reason;
        return report;
    }
    step_ = Step::End;
    return report;
}

}  // namespace korvel::sim
