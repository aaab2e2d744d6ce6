// The raw loader of the 64 Kb readers: headerless frames whose meaning follows from their place:
// erase routine, program routine, download descriptor, data frames, signature frame, end frame.
#ifndef KORVEL_SIM_RAW_LOADER_H
#define KORVEL_SIM_RAW_LOADER_H

#include <string>
#include <variant>

#include "sim/loader.h"

namespace korvel::sim {

// The download descriptor: where the image payload and its signature go, and how long it is.
struct RawDescriptor {
    uint16_t payloadAddress = 0;
    uint16_t blocks = 0;    // full blocks of cordane::raw::kBlock bytes
    uint8_t remainder = 0;  // bytes after the full blocks, below one block
    uint16_t signatureAddress = 0;

    uint32_t PayloadSize() const;
    // Data frames that carry the payload: one per started block, and at least one.
    uint32_t DataFrames() const;
    // Payload bytes in data frame `index` (0-based); the last may carry none.
    uint32_t FramePayload(uint32_t index) const;
};

// The descriptor in `frame`, or a sentence naming the first byte at fault.
std::variant<RawDescriptor, std::string> ParseRawDescriptor(std::span<const uint8_t> frame);

class RawLoader final : public Loader {
  public:
    RawLoader(FlashModel& flash, std::span<const AcceptedRoutine> routines);

    FrameReport Describe(std::span<const uint8_t> frame) const override;
    FrameReport Take(std::span<const uint8_t> frame) override;

  private:
    enum class Step { Erase, Program, Descriptor, Data, Signature, End, Done };

    FrameReport TakeRoutine(std::span<const uint8_t> frame, RoutineRole wanted, FrameReport report);
    FrameReport TakeDescriptor(std::span<const uint8_t> frame, FrameReport report);
    FrameReport TakeData(std::span<const uint8_t> frame, FrameReport report);
    FrameReport TakeSignature(std::span<const uint8_t> frame, FrameReport report);

    FlashModel& flash_;
    std::span<const AcceptedRoutine> routines_;
    Step step_ = Step::Erase;
    RawDescriptor descriptor_;
    uint32_t dataIndex_ = 0;  // next data frame
    uint8_t lastByte_ = 0;    // last payload byte of the previous data frame
};

}  // namespace korvel::sim

#endif
