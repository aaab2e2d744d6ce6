// An addressed loader frame, and the exchange of one such frame that reader detection uses.
//
// The frame is a 9-byte header (payload length, command, start address, load address) followed
// by its payload. Reader detection (in the Brenmark program and in `cordane detect`) talks to the
// reader's loader through DetectionExchange, on a link it opened itself with the serial link's
// ZrResetAndOpen512Light; the exchange never closes that link.
#ifndef CORDANE_LOADER_FRAME_H
#define CORDANE_LOADER_FRAME_H

#include <stddef.h>
#include <stdint.h>

#include "cordane/platform.h"

namespace cordane {

// Commands of an addressed frame (the third byte of its header).
enum class LoaderCommand : uint8_t {
    RunRoutine = 0,     // run a routine; its answer is the routine's result
    LoadRoutine = 1,    // load a routine the following frames rely on
    WriteBlock = 3,     // write 1 to 255 image bytes at the load address
    EndSession = 8,     // leave the loader session
    ReadMemory = 0x0A,  // read reader memory: start holds the byte count, load the address; the
                        // answer is the bytes read
};

// In-memory form of the 9-byte header of an addressed frame.
struct LoaderHeader {
    int16_t length = 0;  // payload length, 0 to 255 in use
    LoaderCommand command = LoaderCommand::RunRoutine;
    uint32_t start = 0;  // start address; bits 24..31 are not sent
    uint32_t load = 0;   // load address; bits 24..31 are not sent
};

// Sends header and payload as one frame on the open link `handle` and awaits the answer; never
// closes the handle. 1 when the frame cannot be sent; a fetch result other than 0 as it is;
// otherwise the answer's first byte (4 for an empty answer), with the answer's bytes copied to
// `answer` (capacity bytes at most) and their count in *answerLength.
CORDANE_API int DetectionExchange(int32_t handle, const uint8_t* payload,
                                  const LoaderHeader& record, uint8_t* answer, size_t capacity,
                                  int* answerLength);

}  // namespace cordane

#endif
