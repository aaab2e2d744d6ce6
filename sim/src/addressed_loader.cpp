#include "addressed_loader.h"

#include <cstdio>

namespace korvel::sim {
namespace {

using cordane::LoaderCommand;

uint32_t Be24(std::span<const uint8_t> bytes, size_t at) {
    return (uint32_t{bytes[at]} << 16) | (uint32_t{bytes[at + 1]} << 8) | bytes[at + 2];
}

const char* CommandKind(uint8_t command) {
    switch (static_cast<LoaderCommand>(command)) {
        case LoaderCommand::RunRoutine:
            return "run-routine";
        case LoaderCommand::LoadRoutine:
            return "load-routine";
        case LoaderCommand::WriteBlock:
            return "write-block";
        case LoaderCommand::EndSession:
            return "end-session";
    }
    return "unknown";
}

FrameReport Refuse(FrameReport report, uint8_t status, std::string reason) {
    report.status = status;
    report.reason = std::move(reason);
    return report;
}

}  // namespace

std::optional<AddressedHeader> ParseAddressedHeader(std::span<const uint8_t> frame) {
    if (frame.size() < cordane::kHeaderSize) return std::nullopt;
    AddressedHeader header;
    header.length = static_cast<uint16_t>((frame[0] << 8) | frame[1]);
    header.command = frame[2];
    header.start = Be24(frame, 3);
    header.load = Be24(frame, 6);
    return header;
}

AddressedLoader::AddressedLoader(FlashModel& flash, std::span<const AcceptedRoutine> routines)
    : flash_(flash), routines_(routines) {}

FrameReport AddressedLoader::Describe(std::span<const uint8_t> frame) const {
    FrameReport report;
    if (const auto header = ParseAddressedHeader(frame)) {
        report.kind = CommandKind(header->command);
        if (header->command != static_cast<uint8_t>(LoaderCommand::EndSession)) {
            report.address = header->load;
        }
    }
    return report;
}

FrameReport AddressedLoader::Take(std::span<const uint8_t> frame) {
    FrameReport report = Describe(frame);
    const auto header = ParseAddressedHeader(frame);
    if (!header) {
        return Refuse(std::move(report), status::kBadFrame,
                      "frame of " + std::to_string(frame.size()) +
                          " bytes is shorter than the 9-byte header");
    }
    std::span<const uint8_t> payload = frame.subspan(cordane::kHeaderSize);
    if (payload.size() < header->length) {
        return Refuse(std::move(report), status::kBadFrame,
                      "header announces " + std::to_string(header->length) +
                          " payload bytes; the frame carries " + std::to_string(payload.size()));
    }
    // The loader takes the bytes its header announces; the 64 Kb signature frame carries one
    // more (the 0 ending the text "KV"), which it ignores.
    payload = payload.first(header->length);
    if (ended_) {
        return Refuse(std::move(report), status::kBadFrame,
                      "the loader session has ended; reset the reader to start another");
    }
    switch (static_cast<LoaderCommand>(header->command)) {
        case LoaderCommand::RunRoutine:
        case LoaderCommand::LoadRoutine:
            return TakeRoutine(*header, payload, std::move(report));
        case LoaderCommand::WriteBlock:
            return TakeWrite(*header, payload, std::move(report));
        case LoaderCommand::EndSession:
            if (header->length != 0 || header->start != 0 || header->load != 0) {
                return Refuse(std::move(report), status::kBadFrame,
                              "EndSession carries no payload and zero addresses");
            }
            ended_ = true;
            report.ends_session = true;
            return report;
    }
    char text[64];
    std::snprintf(text, sizeof text, "unknown command 0x%02X", header->command);
    return Refuse(std::move(report), status::kBadFrame, text);
}

FrameReport AddressedLoader::TakeRoutine(const AddressedHeader& header,
                                         std::span<const uint8_t> payload, FrameReport report) {
    const auto command = static_cast<LoaderCommand>(header.command);
    const char* command_name = command == LoaderCommand::RunRoutine ? "RunRoutine" : "LoadRoutine";
    if (header.start != cordane::kRoutineAddress || header.load != cordane::kRoutineAddress) {
        return Refuse(std::move(report), status::kBadFrame,
                      std::string(command_name) + " must name " +
                          HexAddress(cordane::kRoutineAddress) + " as start and load address");
    }
    const AcceptedRoutine* routine = FindRoutine(routines_, payload);
    if (routine == nullptr) {
        std::string known;
        for (const AcceptedRoutine& r : routines_) {
            if (r.command != command) continue;
            known += (known.empty() ? "" : ", ") + std::string(r.name) + " (" +
                     std::to_string(r.frame_length) + " bytes)";
        }
        return Refuse(std::move(report), status::kUnknownRoutine,
                      "the " + std::to_string(payload.size()) + "-byte payload of " + command_name +
                          " is not a routine of this reader; expected " +
                          (known.empty() ? std::string("none") : known));
    }
    if (routine->command != command) {
        return Refuse(std::move(report), status::kUnknownRoutine,
                      std::string(routine->name) + " is not taken with " + command_name);
    }
    if (routine->role == RoutineRole::Erase) flash_.EraseCode();
    if (routine->role == RoutineRole::Program) program_loaded_ = true;
    return report;
}

FrameReport AddressedLoader::TakeWrite(const AddressedHeader& header,
                                       std::span<const uint8_t> payload, FrameReport report) {
    if (payload.empty() || payload.size() > cordane::kMaxPayload) {
        return Refuse(std::move(report), status::kBadFrame,
                      "WriteBlock carries 1 to " + std::to_string(cordane::kMaxPayload) +
                          " bytes; got " + std::to_string(payload.size()));
    }
    if (header.start != 0) {
        return Refuse(std::move(report), status::kBadFrame,
                      "WriteBlock must name start address 0; got " + HexAddress(header.start));
    }
    if (!program_loaded_) {
        return Refuse(
            std::move(report), status::kWriteBeforeProgram,
            "WriteBlock to " + HexAddress(header.load) + " before the program routine was loaded");
    }
    const WriteResult written = flash_.Write(header.load, payload);
    if (written.status != status::kAccepted) {
        return Refuse(std::move(report), written.status, written.reason);
    }
    return report;
}

}  // namespace korvel::sim
