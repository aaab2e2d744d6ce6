// Status bytes the emulated loaders answer with. Every loader frame is answered with exactly one
// byte; 0 means the frame was taken, anything else is the loader's refusal and the host passes it
// on unchanged as the job's exit code.
#ifndef KORVEL_SIM_LOADER_STATUS_H
#define KORVEL_SIM_LOADER_STATUS_H

#include <cstdint>

namespace korvel::sim::status {

inline constexpr uint8_t kAccepted = 0x00;            // frame taken
inline constexpr uint8_t kWriteBeforeProgram = 0x21;  // image data before the program routine
inline constexpr uint8_t kOutsideFlash = 0x22;        // address outside the writable flash
inline constexpr uint8_t kNotErased = 0x23;           // a write would turn a 0 bit back into 1
inline constexpr uint8_t kUnknownRoutine = 0x24;      // not this reader's catalogue routine
inline constexpr uint8_t kBadFrame = 0x25;            // malformed frame, or out of sequence
inline constexpr uint8_t kAppNumberRefused = 0x31;    // AppNumberCheck: this change is not allowed

// Status byte of a LoaderReady frame.
inline constexpr uint8_t kLoaderRunning = 0x00;   // the loader runs and waits for frames
inline constexpr uint8_t kResetRefused = 0x01;    // reset mode not for this reader type
inline constexpr uint8_t kResetMalformed = 0x02;  // ResetLoader payload is not one known mode
inline constexpr uint8_t kResetFailed = 0x03;     // --fail-open: the loader did not start

// Status byte of an EraseDataDone frame.
inline constexpr uint8_t kDataErased = 0x00;
inline constexpr uint8_t kNoDataFlash = 0x01;         // this reader type has no data flash
inline constexpr uint8_t kDataEraseByLoader = 0x02;   // its data flash is erased by loader routines
inline constexpr uint8_t kDataEraseMalformed = 0x03;  // EraseData carries a payload

}  // namespace korvel::sim::status

#endif
