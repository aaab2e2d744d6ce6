// The loader a reader runs after a reset: it takes one frame at a time and answers each with a
// status byte (all but the frame that starts the data-flash erase, which the reader never
// answers).
#ifndef KORVEL_SIM_LOADER_H
#define KORVEL_SIM_LOADER_H

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/flash_model.h"
#include "sim/loader_routines.h"
#include "sim/loader_status.h"

namespace korvel::sim {

// What a loader made of one frame.
struct FrameReport {
    const char* kind = "unknown";     // transcript kind: "descriptor", "write-block", ...
    std::optional<uint32_t> address;  // reader address the frame is about, if any
    uint8_t status = status::kAccepted;
    std::string reason;        // why the frame was refused; empty when taken
    bool endsSession = false;  // the session's closing frame was taken
    bool answered = true;      // false: the loader sends nothing back for this frame
    // Set: the answer is these bytes instead of the status byte (the bytes ReadMemory read).
    std::optional<std::vector<uint8_t>> data;
};

// The number of the application in a large reader's flash, as AppNumberCheck judges it; kept by
// the reader from session to session. Nothing: no number known, any change is accepted.
using AppNumber = std::optional<uint32_t>;

class Loader {
  public:
    virtual ~Loader() = default;
    // Kind and address of `frame` as the loader would take it now; changes nothing.
    virtual FrameReport Describe(std::span<const uint8_t> frame) const = 0;
    // Checks `frame` and, when it is right, carries it out on the flash.
    virtual FrameReport Take(std::span<const uint8_t> frame) = 0;
};

// A fresh loader of `kind` working on `flash`, taking `routines`. `appNumber` is the reader's
// application number that AppNumberCheck judges and updates; nullptr judges as "none known".
std::unique_ptr<Loader> MakeLoader(LoaderKind kind, FlashModel& flash,
                                   std::span<const AcceptedRoutine> routines,
                                   AppNumber* appNumber = nullptr);

}  // namespace korvel::sim

#endif
