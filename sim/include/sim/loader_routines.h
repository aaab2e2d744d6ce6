// Which catalogue routines each emulated loader takes, and in what form. The routine bytes are
// the engine's own catalogue (routines.h); the emulator only compares against them.
#ifndef KORVEL_SIM_LOADER_ROUTINES_H
#define KORVEL_SIM_LOADER_ROUTINES_H

#include <cstddef>
#include <cstdint>
#include <span>

#include "cordane/protocol.h"

namespace korvel::sim {

// The two loaders a 64 Kb reader may answer a reset with. The large readers run the addressed
// loader after a large or modem reset.
enum class LoaderKind : uint8_t {
    Raw,        // fixed sequence of headerless frames
    Addressed,  // frames with a 9-byte header
};

const char* LoaderName(LoaderKind kind);  // "raw" or "addressed"

enum class RoutineRole : uint8_t {
    Erase,           // erases the code flash when run
    Program,         // makes image writes possible once loaded
    AppNumberCheck,  // judges a change of application number when run; its digits vary
    DataFlashCore,   // the data-flash erase code, loaded before DataFlashStart
    DataFlashStart,  // erases the data flash when run after DataFlashCore; never answered
};

struct AcceptedRoutine {
    RoutineRole role;
    const char* name;                // catalogue name, for messages
    cordane::LoaderCommand command;  // how the addressed loader takes it (unused when raw)
    std::span<const uint8_t> bytes;  // the catalogue bytes
    size_t frameLength;              // payload on the wire: the bytes, then zeros to this length
    uint32_t load = cordane::kRoutineAddress;  // load address the addressed loader expects
};

// The routines a loader of reader type `type` takes; empty for a type or loader not emulated.
std::span<const AcceptedRoutine> AcceptedRoutines(int type, LoaderKind loader);

// True when `payload` is exactly the routine in its wire form (length and padding included).
// AppNumberCheck's nine digit positions may hold anything: the loader judges them itself.
bool Matches(const AcceptedRoutine& routine, std::span<const uint8_t> payload);

// The routine `payload` is, or nullptr.
const AcceptedRoutine* FindRoutine(std::span<const AcceptedRoutine> routines,
                                   std::span<const uint8_t> payload);

// The routine of `role` among `routines`, or nullptr.
const AcceptedRoutine* RoutineFor(std::span<const AcceptedRoutine> routines, RoutineRole role);

// True when `offset` is one of AppNumberCheck's digit positions.
bool IsAppNumberDigit(size_t offset);

}  // namespace korvel::sim

#endif
