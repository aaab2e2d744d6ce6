#include "sim/addressed_loader.h"

#include <cstdio>

#include "base/hex.h"
#include "cordane/routines.h"

namespace korvel::sim {
namespace {

using cordane::LoaderCommand;

uint32_t Be24(std::span<const uint8_t> bytes, size_t at) {
    return (uint32_t{bytes[at]} << 16) | (uint32_t{bytes[at + 1]} << 8) | bytes[at + 2];
}

const char* CommandName(LoaderCommand command) {
    return command == LoaderCommand::RunRoutine ? "RunRoutine" : "LoadRoutine";
}

// Transcript kind of a recognised routine frame. The erase and program routines keep the kind of
// their command, as on the 64 Kb readers; the large readers' other routines are named.
const char* RoutineKind(RoutineRole role) {
    switch (role) {
        case RoutineRole::AppNumberCheck:
            return "app-number-check";
        case RoutineRole::DataFlashCore:
            return "data-flash-erase-core";
        case RoutineRole::DataFlashStart:
            return "data-flash-erase-start";
        case RoutineRole::Erase:
        case RoutineRole::Program:
            break;
    }
    return nullptr;
}

std::string ThreeDigits(uint32_t number) {
    char text[16];
    std::snprintf(text, sizeof text, "%03u", number);
    return text;
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
        case LoaderCommand::ReadMemory:
            return "read-memory";
    }
    return "unknown";
}

FrameReport Refuse(FrameReport report, uint8_t status, std::string reason) {
    report.status = status;
    report.reason = std::move(reason);
    return report;
}

std::optional<std::span<const uint8_t>> AddressedPayload(
    std::span<const uint8_t> frame, const std::optional<AddressedHeader>& header, bool sessionEnded,
    FrameReport& report) {
    if (!header) {
        report = Refuse(std::move(report), status::kBadFrame,
                        "frame of " + std::to_string(frame.size()) +
                            " bytes is shorter than the 9-byte header");
        return std::nullopt;
    }
    const std::span<const uint8_t> payload = frame.subspan(cordane::kHeaderSize);
    if (payload.size() < header->length) {
        report = Refuse(std::move(report), status::kBadFrame,
                        "header announces " + std::to_string(header->length) +
                            " payload bytes; the frame carries " + std::to_string(payload.size()));
        return std::nullopt;
    }
    if (sessionEnded) {
        report = Refuse(std::move(report), status::kBadFrame,
                        "the loader session has ended; reset the reader to start another");
        return std::nullopt;
    }
    return payload.first(header->length);
}

AddressedLoader::AddressedLoader(FlashModel& flash, std::span<const AcceptedRoutine> routines,
                                 AppNumber* appNumber)
    : flash_(flash), routines_(routines), appNumber_(appNumber) {}

FrameReport AddressedLoader::Describe(std::span<const uint8_t> frame) const {
    FrameReport report;
    const auto header = ParseAddressedHeader(frame);
    if (!header) return report;
    report.kind = CommandKind(header->command);
    const auto command = static_cast<LoaderCommand>(header->command);
    if (command != LoaderCommand::EndSession) report.address = header->load;
    const std::span<const uint8_t> payload = frame.subspan(cordane::kHeaderSize);
    if ((command == LoaderCommand::RunRoutine || command == LoaderCommand::LoadRoutine) &&
        payload.size() >= header->length) {
        const AcceptedRoutine* routine = FindRoutine(routines_, payload.first(header->length));
        if (routine != nullptr && routine->command == command && RoutineKind(routine->role)) {
            report.kind = RoutineKind(routine->role);
        }
    }
    return report;
}

FrameReport AddressedLoader::Take(std::span<const uint8_t> frame) {
    FrameReport report = Describe(frame);
    const auto header = ParseAddressedHeader(frame);
    const auto taken = AddressedPayload(frame, header, ended_, report);
    if (!taken) return report;
    const std::span<const uint8_t> payload = *taken;
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
            report.endsSession = true;
            return report;
        case LoaderCommand::ReadMemory:
            return Refuse(std::move(report), status::kBadFrame,
                          "ReadMemory needs the detection loader, which a light reset starts; "
                          "this session began with another reset");
    }
    char text[64];
    std::snprintf(text, sizeof text, "unknown command 0x%02X", header->command);
    return Refuse(std::move(report), status::kBadFrame, text);
}

FrameReport AddressedLoader::TakeRoutine(const AddressedHeader& header,
                                         std::span<const uint8_t> payload, FrameReport report) {
    const auto command = static_cast<LoaderCommand>(header.command);
    const std::string commandName = CommandName(command);
    if (header.start != cordane::kRoutineAddress) {
        return Refuse(std::move(report), status::kBadFrame,
                      commandName + " must name " + base::HexNumber(cordane::kRoutineAddress, 4) +
                          " as start address; got " + base::HexNumber(header.start, 4));
    }
    const AcceptedRoutine* routine = FindRoutine(routines_, payload);
    if (routine == nullptr) {
        std::string known;
        for (const AcceptedRoutine& r : routines_) {
            if (r.command != command) continue;
            known += (known.empty() ? "" : ", ") + std::string(r.name) + " (" +
                     std::to_string(r.frameLength) + " bytes)";
        }
        return Refuse(std::move(report), status::kUnknownRoutine,
                      "the " + std::to_string(payload.size()) + "-byte payload of " + commandName +
                          " is not a routine of this reader; expected " +
                          (known.empty() ? std::string("none") : known));
    }
    if (routine->command != command) {
        return Refuse(std::move(report), status::kUnknownRoutine,
                      std::string(routine->name) + " is not taken with " + commandName);
    }
    if (header.load != routine->load) {
        return Refuse(std::move(report), status::kBadFrame,
                      std::string(routine->name) + " must name " +
                          base::HexNumber(routine->load, 4) + " as load address; got " +
                          base::HexNumber(header.load, 4));
    }
    switch (routine->role) {
        case RoutineRole::Erase:
            flash_.EraseCode();
            break;
        case RoutineRole::Program:
        case RoutineRole::DataFlashCore:
            // Both go to the same place: the one loaded last is the one in place.
            loaded_ = routine->role;
            break;
        case RoutineRole::AppNumberCheck:
            return JudgeAppNumber(payload, std::move(report));
        case RoutineRole::DataFlashStart:
            if (loaded_ != RoutineRole::DataFlashCore) {
                return Refuse(std::move(report), status::kBadFrame,
                              "DataFlashEraseStart runs the erase code that DataFlashEraseCore "
                              "loads; load DataFlashEraseCore first");
            }
            // The reader erases its data flash and leaves the session without a word.
            flash_.EraseData();
            ended_ = true;
            report.endsSession = true;
            report.answered = false;
            break;
    }
    return report;
}

FrameReport AddressedLoader::JudgeAppNumber(std::span<const uint8_t> payload, FrameReport report) {
    // The new number, then the two numbers it may replace besides itself.
    uint32_t numbers[3] = {};
    for (size_t group = 0; group < 3; ++group) {
        for (const size_t at : cordane::routines::kAppNumberDigits[group]) {
            const uint8_t digit = payload[at];
            if (digit < '0' || digit > '9') {
                char text[160];
                std::snprintf(text, sizeof text,
                              "AppNumberCheck byte %zu is 0x%02X, not a digit: the application "
                              "numbers travel as three ASCII digits each",
                              at, digit);
                return Refuse(std::move(report), status::kBadFrame, text);
            }
            numbers[group] = numbers[group] * 10 + (digit - '0');
        }
    }
    const AppNumber current = appNumber_ != nullptr ? *appNumber_ : AppNumber{};
    if (current && *current != numbers[0] && *current != numbers[1] && *current != numbers[2]) {
        return Refuse(std::move(report), status::kAppNumberRefused,
                      "the reader holds application number " + ThreeDigits(*current) +
                          "; application " + ThreeDigits(numbers[0]) + " may replace only " +
                          ThreeDigits(numbers[0]) + ", " + ThreeDigits(numbers[1]) + " or " +
                          ThreeDigits(numbers[2]));
    }
    // The reader has agreed to the change: the number it now answers for is the new one.
    if (appNumber_ != nullptr) *appNumber_ = numbers[0];
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
        return Refuse(
            std::move(report), status::kBadFrame,
            "WriteBlock must name start address 0; got " + base::HexNumber(header.start, 4));
    }
    if (loaded_ != RoutineRole::Program) {
        return Refuse(std::move(report), status::kWriteBeforeProgram,
                      "WriteBlock to " + base::HexNumber(header.load, 4) +
                          " before the program routine was loaded");
    }
    const WriteResult written = flash_.Write(header.load, payload);
    if (written.status != status::kAccepted) {
        return Refuse(std::move(report), written.status, written.reason);
    }
    return report;
}

}  // namespace korvel::sim
