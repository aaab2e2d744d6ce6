// Which catalogue routines each emulated loader takes, and in what form. The routine bytes are
// the engine's own catalogue (routines.h); the emulator only compares against them.
#ifndef KORVEL_SIM_LOADER_ROUTINES_H
#define KORVEL_SIM_LOADER_ROUTINES_H

#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol.h"

namespace korvel::sim {

// The two loaders a 64 Kb reader may answer a reset with.
enum class LoaderKind : uint8_t {
    Raw,        // fixed sequence of headerless frames
    Addressed,  // frames with a 9-byte header
};

const char* LoaderName(LoaderKind kind);  // "raw" or "addressed"

enum class RoutineRole : uint8_t {
    Erase,    // erases the code flash when run
    Program,  // makes image writes possible once loaded
};

struct AcceptedRoutine {
    RoutineRole role;
    const char* name;                // catalogue name, for messages
    cordane::LoaderCommand command;  // how the addressed loader takes it (unused when raw)
    std::span<const uint8_t> bytes;  // the catalogue bytes
    size_t frame_length;             // payload on the wire: the bytes, then zeros to this length
};

// The routines a loader of reader type `type` takes; empty for a type or loader not emulated.
std::span<const AcceptedRoutine> AcceptedRoutines(int type, LoaderKind loader);

// True when `payload` is exactly the routine in its wire form (length and padding included).
bool Matches(const AcceptedRoutine& routine, std::span<const uint8_t> payload);

// The routine `payload` is, or nullptr.
const AcceptedRoutine* FindRoutine(std::span<const AcceptedRoutine> routines,
                                   std::span<const uint8_t> payload);

// The routine of `role` among `routines`, or nullptr.
const AcceptedRoutine* RoutineFor(std::span<const AcceptedRoutine> routines, RoutineRole role);

}  // namespace korvel::sim

#endif
