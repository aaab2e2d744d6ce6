// The addressed loader: every frame is a 9-byte header (payload length, command, start address,
// load address) followed by its payload. The KvOrb (64 Kb) runs it after a 64 Kb reset when it is
// chosen, and every large reader after its large or modem reset; which routines it takes is the
// reader's.
#ifndef KORVEL_SIM_ADDRESSED_LOADER_H
#define KORVEL_SIM_ADDRESSED_LOADER_H

#include <optional>

#include "cordane/protocol.h"
#include "sim/loader.h"

namespace korvel::sim {

// Header fields as they stand on the wire; the command is left raw so that unknown codes can be
// named.
struct AddressedHeader {
    uint16_t length = 0;
    uint8_t command = 0;
    uint32_t start = 0;
    uint32_t load = 0;
};

// The header at the front of `frame`, or nothing when the frame is shorter than a header.
std::optional<AddressedHeader> ParseAddressedHeader(std::span<const uint8_t> frame);

// The transcript kind of a loader command: "run-routine", "load-routine", "write-block",
// "end-session", "read-memory", or "unknown".
const char* CommandKind(uint8_t command);

// `report`, refusing its frame with `status` for `reason`.
FrameReport Refuse(FrameReport report, uint8_t status, std::string reason);

// The payload of `frame` (whose header is `header`), cut to the length the header announces; the
// 64 Kb signature frame carries one byte more (the 0 ending the text "KV"), which is ignored.
// Nothing, with `report` refusing the frame, when the frame is shorter than its header or than
// that length, or when the loader's session has ended.
std::optional<std::span<const uint8_t>> AddressedPayload(
    std::span<const uint8_t> frame, const std::optional<AddressedHeader>& header, bool sessionEnded,
    FrameReport& report);

class AddressedLoader final : public Loader {
  public:
    AddressedLoader(FlashModel& flash, std::span<const AcceptedRoutine> routines,
                    AppNumber* appNumber = nullptr);

    FrameReport Describe(std::span<const uint8_t> frame) const override;
    FrameReport Take(std::span<const uint8_t> frame) override;

  private:
    FrameReport TakeRoutine(const AddressedHeader& header, std::span<const uint8_t> payload,
                            FrameReport report);
    FrameReport TakeWrite(const AddressedHeader& header, std::span<const uint8_t> payload,
                          FrameReport report);
    FrameReport JudgeAppNumber(std::span<const uint8_t> payload, FrameReport report);

    FlashModel& flash_;
    std::span<const AcceptedRoutine> routines_;
    AppNumber* appNumber_;
    std::optional<RoutineRole> loaded_;  // the routine LoadRoutine last put in place
    bool ended_ = false;
};

}  // namespace korvel::sim

#endif
