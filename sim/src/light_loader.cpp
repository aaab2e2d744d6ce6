#include "sim/light_loader.h"

#include <algorithm>
#include <cstdio>

#include "base/hex.h"
#include "cordane/protocol.h"
#include "kit/detection_loader_block.h"
#include "sim/addressed_loader.h"

namespace korvel::sim {
namespace {

using cordane::LoaderCommand;

constexpr size_t kFirstRead = cordane::kDetectionBytesRead.count;  // g and r
constexpr size_t k512SecondRead = cordane::kSecondRead512.count;   // at 0x86001
constexpr size_t kMaxReadCount = 255;                              // the most one answer carries

// One part of --id-bytes: hexadecimal byte pairs, at most `most` bytes; `what` names the part.
base::Expected<std::vector<uint8_t>> ParsePart(std::string_view text, size_t most,
                                               const char* what) {
    base::Expected<std::vector<uint8_t>> bytes = base::ParseHexBytes(text, most);
    if (!bytes) {
        const base::Error& error = bytes.error();
        return base::Fail(std::string(what) + " " + error.message + "; " + error.hint, {},
                          error.cause);
    }
    return bytes;
}

}  // namespace

std::optional<IdentityBytes> DefaultIdentity(int type) {
    // The answers the reader table gives the type; a KvTalModem answers as the KvTal (512 Kb) it
    // is, on its modem base.
    const cordane::ReaderFacts* facts = cordane::FindReader(type == KvTalModem ? KvTal512 : type);
    if (facts == nullptr || facts->identification == nullptr) return std::nullopt;
    const cordane::Identification& id = *facts->identification;
    const size_t count = cordane::SecondReadFor(id.g).count;
    return IdentityBytes{{id.g, id.r},
                         std::vector<uint8_t>(id.second.begin(), id.second.begin() + count)};
}

base::Expected<IdentityBytes> ParseIdentityBytes(std::string_view text) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        return base::Fail(
            "write the answers as FIRST:SECOND in hexadecimal, e.g. 0500:48000000000000 (FIRST "
            "the 2 bytes at 0x1000, SECOND up to 7 bytes for the second read)",
            {}, base::Cause::BadInput);
    }
    IdentityBytes identity;
    KORVEL_ASSIGN_OR_RETURN(identity.first, ParsePart(text.substr(0, colon), kFirstRead, "FIRST"));
    KORVEL_ASSIGN_OR_RETURN(identity.second,
                            ParsePart(text.substr(colon + 1), kMaxSecondRead, "SECOND"));
    return identity;
}

uint64_t Fnv1a64(const uint8_t* bytes, size_t size) {
    uint64_t digest = 0xCBF29CE484222325ULL;
    for (size_t i = 0; i < size; ++i) {
        digest = (digest ^ bytes[i]) * 0x100000001B3ULL;
    }
    return digest;
}

LightLoader::LightLoader(IdentityBytes identity, bool detectionLoaderRuns)
    : identity_(std::move(identity)), ram_(kRamEnd - kRamStart, 0), running_(detectionLoaderRuns) {}

FrameReport LightLoader::Describe(std::span<const uint8_t> frame) const {
    FrameReport report;
    const auto header = ParseAddressedHeader(frame);
    if (!header) return report;
    report.kind = CommandKind(header->command);
    if (static_cast<LoaderCommand>(header->command) != LoaderCommand::EndSession) {
        report.address = header->load;
    }
    return report;
}

FrameReport LightLoader::Take(std::span<const uint8_t> frame) {
    FrameReport report = Describe(frame);
    const auto header = ParseAddressedHeader(frame);
    const auto taken = AddressedPayload(frame, header, ended_, report);
    if (!taken) return report;
    const std::span<const uint8_t> payload = *taken;
    switch (static_cast<LoaderCommand>(header->command)) {
        case LoaderCommand::LoadRoutine:
            return TakeLoad(header->start, header->load, payload, std::move(report));
        case LoaderCommand::RunRoutine:
            return TakeRun(header->start, header->load, payload, std::move(report));
        case LoaderCommand::ReadMemory:
            return TakeRead(header->start, header->load, payload.size(), std::move(report));
        case LoaderCommand::EndSession:
            // Its answer is not examined by detection; any end frame ends the session.
            ended_ = true;
            report.endsSession = true;
            return report;
        case LoaderCommand::WriteBlock:
            break;
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "command 0x%02X after a light reset: this loader takes LoadRoutine, "
                  "RunRoutine, ReadMemory and EndSession only",
                  header->command);
    return Refuse(std::move(report), status::kBadFrame, text);
}

FrameReport LightLoader::TakeLoad(uint32_t start, uint32_t load, std::span<const uint8_t> payload,
                                  FrameReport report) {
    if (start != kRamStart) {
        return Refuse(std::move(report), status::kBadFrame,
                      "LoadRoutine must name " + base::HexNumber(kRamStart, 4) +
                          " as start address; got " + base::HexNumber(start, 4));
    }
    if (payload.empty() || load < kRamStart || load >= kRamEnd || payload.size() > kRamEnd - load) {
        return Refuse(std::move(report), status::kBadFrame,
                      "LoadRoutine of " + std::to_string(payload.size()) + " bytes to " +
                          base::HexNumber(load, 4) + ": programs go to RAM, " +
                          base::HexNumber(kRamStart, 4) + " to " + base::HexNumber(kRamEnd - 1, 4));
    }
    const size_t offset = load - kRamStart;
    std::copy(payload.begin(), payload.end(), ram_.begin() + static_cast<ptrdiff_t>(offset));
    loadedEnd_ = std::max(loadedEnd_, offset + payload.size());
    running_ = false;  // new code in RAM: whatever ran is gone
    return report;
}

FrameReport LightLoader::TakeRun(uint32_t start, uint32_t load, std::span<const uint8_t> payload,
                                 FrameReport report) {
    if (start != kRamStart || load != kRamStart) {
        return Refuse(std::move(report), status::kBadFrame,
                      "RunRoutine after a light reset runs the program at " +
                          base::HexNumber(kRamStart, 4) + "; got start " +
                          base::HexNumber(start, 4) + ", load " + base::HexNumber(load, 4));
    }
    if (payload.size() != 1 || loadedEnd_ == 0 || payload[0] != ram_[0]) {
        return Refuse(std::move(report), status::kBadFrame,
                      "RunRoutine carries the program's first byte, as loaded at " +
                          base::HexNumber(kRamStart, 4) + " (" + std::to_string(payload.size()) +
                          " byte(s) sent, " + std::to_string(loadedEnd_) + " loaded)");
    }
    if (loadedEnd_ != korvel::kit::kDetectionLoaderBlockSize ||
        Fnv1a64(ram_.data(), loadedEnd_) != korvel::kit::kDetectionLoaderBlockDigest) {
        return Refuse(std::move(report), status::kUnknownRoutine,
                      "the " + std::to_string(loadedEnd_) + " bytes loaded at " +
                          base::HexNumber(kRamStart, 4) + " are not the detection loader (" +
                          std::to_string(korvel::kit::kDetectionLoaderBlockSize) + " bytes)");
    }
    running_ = true;
    return report;
}

FrameReport LightLoader::TakeRead(uint32_t count, uint32_t address, size_t length,
                                  FrameReport report) {
    if (!running_) {
        return Refuse(std::move(report), status::kBadFrame,
                      "ReadMemory needs the detection loader: load it with LoadRoutine and start "
                      "it with RunRoutine first");
    }
    if (length != 0 || count == 0 || count > kMaxReadCount) {
        return Refuse(std::move(report), status::kBadFrame,
                      "ReadMemory carries no payload and asks for 1 to " +
                          std::to_string(kMaxReadCount) + " bytes in its start address; got " +
                          std::to_string(count) + " bytes asked, " + std::to_string(length) +
                          " sent");
    }
    const std::vector<uint8_t>* held = nullptr;
    size_t most = 0;
    if (address == kIdentityAddress) {
        held = &identity_.first;
        most = kFirstRead;
    } else if (address == kIdentity512Address) {
        held = &identity_.second;
        most = k512SecondRead;
    } else if (address == kIdentity1MbAddress) {
        held = &identity_.second;
        most = kMaxSecondRead;
    }
    if (held == nullptr) {
        return Refuse(std::move(report), status::kBadFrame,
                      "no identification bytes at " + base::HexNumber(address, 4) +
                          "; they are at " + base::HexNumber(kIdentityAddress, 4) + ", " +
                          base::HexNumber(kIdentity512Address, 4) + " and " +
                          base::HexNumber(kIdentity1MbAddress, 4));
    }
    const size_t size = std::min({static_cast<size_t>(count), most, held->size()});
    report.data.emplace(held->begin(), held->begin() + static_cast<ptrdiff_t>(size));
    return report;
}

}  // namespace korvel::sim
