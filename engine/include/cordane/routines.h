// The reader routines: blocks of reader-side code that the loader runs to erase and program
// flash. The engine treats them as opaque bytes and sends them unchanged, except AppNumberCheck,
// whose digit positions are filled in before it is sent. The emulator checks what it receives
// against these same bytes.
#ifndef CORDANE_ROUTINES_H
#define CORDANE_ROUTINES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace cordane::routines {

// erases the flash of a KvTal (64 Kb); raw routine frame, or RunRoutine padded to 241.
extern const std::array<uint8_t, 50> kEraseTal64;
// programs the flash of a KvTal (64 Kb); raw routine frame, or LoadRoutine padded to 241.
extern const std::array<uint8_t, 74> kProgramTal64;
// erases the flash of a KvOrb (64 Kb) behind the raw loader.
extern const std::array<uint8_t, 50> kEraseOrb64Raw;
// programs the flash of a KvOrb (64 Kb) behind the raw loader.
extern const std::array<uint8_t, 72> kProgramOrb64Raw;
// erases the flash: KvOrb (64 Kb) behind the addressed loader, and every large reader.
extern const std::array<uint8_t, 59> kFlashErase;
// programs the flash of a KvOrb (64 Kb) behind the addressed loader.
extern const std::array<uint8_t, 78> kProgramOrb64;
// programs the flash of a large reader.
extern const std::array<uint8_t, 100> kProgramLarge;
// has the reader judge a change of application number; digit positions filled before sending.
extern const std::array<uint8_t, 141> kAppNumberCheck;
// data-flash erase code, loaded before DataFlashEraseStart.
extern const std::array<uint8_t, 245> kDataFlashEraseCore;
// starts the data-flash erase; sent with load address 0x0800F5 and never answered.
extern const std::array<uint8_t, 131> kDataFlashEraseStart;

// AppNumberCheck: the three digit groups (new number, previous 1, previous 2), three digits each.
inline constexpr std::array<std::array<size_t, 3>, 3> kAppNumberDigits{
    {{31, 42, 53}, {65, 76, 87}, {99, 110, 121}}};

// Length of a raw routine frame and of the padded KvTal (64 Kb) routines behind the addressed
// loader: the routine, then zeros.
inline constexpr size_t kPaddedRoutineLength = 241;

// First byte of a routine in a raw routine frame.
inline constexpr uint8_t kRawEraseMarker = 0x01;
inline constexpr uint8_t kRawProgramMarker = 0x02;

}  // namespace cordane::routines

#endif
