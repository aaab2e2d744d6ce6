#include "loader_routines.h"

#include <algorithm>
#include <array>

#include "routines.h"

namespace korvel::sim {
namespace {

using cordane::LoaderCommand;
namespace routines = cordane::routines;
constexpr size_t kPadded = routines::kPaddedRoutineLength;

// Raw loaders: both routines travel as 241-byte routine frames.
const std::array<AcceptedRoutine, 2> kTalRaw{{
    {RoutineRole::Erase, "EraseTal64", LoaderCommand::RunRoutine, routines::kEraseTal64, kPadded},
    {RoutineRole::Program, "ProgramTal64", LoaderCommand::LoadRoutine, routines::kProgramTal64,
     kPadded},
}};
const std::array<AcceptedRoutine, 2> kOrbRaw{{
    {RoutineRole::Erase, "EraseOrb64Raw", LoaderCommand::RunRoutine, routines::kEraseOrb64Raw,
     kPadded},
    {RoutineRole::Program, "ProgramOrb64Raw", LoaderCommand::LoadRoutine,
     routines::kProgramOrb64Raw, kPadded},
}};

// Addressed loaders: the KvTal routines keep their 241-byte padded form; the KvOrb routines
// travel at their own length.
const std::array<AcceptedRoutine, 2> kTalAddressed{{
    {RoutineRole::Erase, "EraseTal64", LoaderCommand::RunRoutine, routines::kEraseTal64, kPadded},
    {RoutineRole::Program, "ProgramTal64", LoaderCommand::LoadRoutine, routines::kProgramTal64,
     kPadded},
}};
const std::array<AcceptedRoutine, 2> kOrbAddressed{{
    {RoutineRole::Erase, "FlashErase", LoaderCommand::RunRoutine, routines::kFlashErase,
     routines::kFlashErase.size()},
    {RoutineRole::Program, "ProgramOrb64", LoaderCommand::LoadRoutine, routines::kProgramOrb64,
     routines::kProgramOrb64.size()},
}};

}  // namespace

const char* LoaderName(LoaderKind kind) {
    return kind == LoaderKind::Raw ? "raw" : "addressed";
}

std::span<const AcceptedRoutine> AcceptedRoutines(int type, LoaderKind loader) {
    const bool raw = loader == LoaderKind::Raw;
    switch (type) {
        case 0:
            return raw ? std::span<const AcceptedRoutine>(kTalRaw) : kTalAddressed;
        case 1:
            return raw ? std::span<const AcceptedRoutine>(kOrbRaw) : kOrbAddressed;
        default:
            return {};
    }
}

bool Matches(const AcceptedRoutine& routine, std::span<const uint8_t> payload) {
    if (payload.size() != routine.frame_length) return false;
    if (!std::equal(routine.bytes.begin(), routine.bytes.end(), payload.begin())) return false;
    return std::all_of(payload.begin() + routine.bytes.size(), payload.end(),
                       [](uint8_t b) { return b == 0; });
}

const AcceptedRoutine* FindRoutine(std::span<const AcceptedRoutine> routines,
                                   std::span<const uint8_t> payload) {
    for (const AcceptedRoutine& routine : routines) {
        if (Matches(routine, payload)) return &routine;
    }
    return nullptr;
}

const AcceptedRoutine* RoutineFor(std::span<const AcceptedRoutine> routines, RoutineRole role) {
    for (const AcceptedRoutine& routine : routines) {
        if (routine.role == role) return &routine;
    }
    return nullptr;
}

}  // namespace korvel::sim
