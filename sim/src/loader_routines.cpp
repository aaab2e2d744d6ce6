#include "sim/loader_routines.h"

#include <algorithm>
#include <array>

#include "cordane/routines.h"
#include "sim/reader_layout.h"

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

// The large readers' addressed loader. Every large model erases, programs and judges application
// numbers with the same routines; the data-flash routines are taken only by the models that
// erase their data flash through the loader (the others answer the link's EraseData request).
constexpr size_t kLargeRoutines = 5;
const std::array<AcceptedRoutine, kLargeRoutines> kLarge{{
    {RoutineRole::Erase, "FlashErase", LoaderCommand::RunRoutine, routines::kFlashErase,
     routines::kFlashErase.size()},
    {RoutineRole::Program, "ProgramLarge", LoaderCommand::LoadRoutine, routines::kProgramLarge,
     routines::kProgramLarge.size()},
    {RoutineRole::AppNumberCheck, "AppNumberCheck", LoaderCommand::RunRoutine,
     routines::kAppNumberCheck, routines::kAppNumberCheck.size()},
    {RoutineRole::DataFlashCore, "DataFlashEraseCore", LoaderCommand::LoadRoutine,
     routines::kDataFlashEraseCore, routines::kDataFlashEraseCore.size()},
    {RoutineRole::DataFlashStart, "DataFlashEraseStart", LoaderCommand::RunRoutine,
     routines::kDataFlashEraseStart, routines::kDataFlashEraseStart.size(),
     cordane::kDataFlashStartLoad},
}};
constexpr size_t kLargeWithoutDataFlash = 3;  // the first three of kLarge

}  // namespace

bool IsAppNumberDigit(size_t offset) {
    for (const auto& group : routines::kAppNumberDigits) {
        for (const size_t at : group) {
            if (at == offset) return true;
        }
    }
    return false;
}

const char* LoaderName(LoaderKind kind) {
    return kind == LoaderKind::Raw ? "raw" : "addressed";
}

std::span<const AcceptedRoutine> AcceptedRoutines(int type, LoaderKind loader) {
    const bool raw = loader == LoaderKind::Raw;
    if (type == 0) return raw ? std::span<const AcceptedRoutine>(kTalRaw) : kTalAddressed;
    if (type == 1) return raw ? std::span<const AcceptedRoutine>(kOrbRaw) : kOrbAddressed;
    const ReaderLayout* layout = FindLayout(type);
    if (raw || layout == nullptr || !layout->reader->large) return {};
    if (layout->dataErase == DataErase::Routines) return kLarge;
    return std::span<const AcceptedRoutine>(kLarge).first(kLargeWithoutDataFlash);
}

bool Matches(const AcceptedRoutine& routine, std::span<const uint8_t> payload) {
    if (payload.size() != routine.frameLength) return false;
    const bool digitsFree = routine.role == RoutineRole::AppNumberCheck;
    for (size_t i = 0; i < routine.bytes.size(); ++i) {
        if (payload[i] != routine.bytes[i] && !(digitsFree && IsAppNumberDigit(i))) return false;
    }
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
