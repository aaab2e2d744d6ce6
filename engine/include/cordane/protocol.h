// The loader protocol: frame forms, command codes, status codes and the pauses and time-outs of
// each download procedure. One place for every constant of the conversation with a reader.
#ifndef CORDANE_PROTOCOL_H
#define CORDANE_PROTOCOL_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "cordane/exit_codes.h"
#include "cordane/loader_frame.h"

namespace cordane {

// The commands and header of an addressed frame, LoaderCommand and LoaderHeader, are public:
// cordane/loader_frame.h.
inline constexpr size_t kHeaderSize = 9;
inline constexpr uint32_t kRoutineAddress = 0x080000;      // start and load address of routines
inline constexpr uint32_t kDataFlashStartLoad = 0x0800F5;  // load address of DataFlashEraseStart
inline constexpr size_t kMaxPayload = 255;                 // largest WriteBlock payload

// Status codes: a job's exit code (cordane/exit_codes.h). 0 success; 1 a file error; 3 to 6 from
// the serial link or the client; any other value is a loader's own error code (the first byte of
// its answer).
enum Status : int {
    kStatusOk = kExitOk,
    kStatusFile = kExitBadInput,
    kStatusOpenFailed = kExitOpenFailed,
    kStatusCommunication = kExitCommunication,
    kStatusNoReply = kExitNoResponse,
    kStatusCancelled = kExitCancelled,
};

// Raw frames of the first 64 Kb loader: no header, each frame's kind follows from its place.
namespace raw {
inline constexpr size_t kBlock = 192;                  // image bytes per data frame
inline constexpr size_t kRoutineFrame = 241;           // routine bytes, then zeros
inline constexpr size_t kDescriptorFrame = 65;         // the download descriptor
inline constexpr size_t kSignatureFrame = 3;           // the 0 byte in front of the image, 'K', 'V'
inline constexpr uint8_t kEndFrame = 0x08;             // the single byte of the end frame
inline constexpr uint8_t kDescriptorTag = 0x03;        // first byte of the descriptor
inline constexpr uint16_t kPayloadAddress = 0x2002;    // first byte after the signature
inline constexpr uint16_t kSignatureAddress = 0x2000;  // where 'K', 'V' go
inline constexpr uint8_t kSignatureLength = 2;
}  // namespace raw

// Reader detection on the large readers: the loader a light reset starts takes programs into its
// RAM with LoadRoutine, and detection sends its own loader there in chunks.
namespace detection {
inline constexpr uint32_t kRamStart = kRoutineAddress;  // 0x80000: chunk k goes to 0x80000 + 240 k
inline constexpr uint32_t kRamEnd = 0x83000;            // one past the last byte a program takes
inline constexpr size_t kChunk = 240;                   // loader bytes per LoadRoutine frame
}  // namespace detection

// Addressed download to the 64 Kb readers.
namespace framed {
inline constexpr size_t kBlock = 255;
inline constexpr uint32_t kImageAddress = 0x2000;
}  // namespace framed

// The image signature written last at the first address of an image.
inline constexpr std::array<uint8_t, 2> kSignature{'K', 'V'};

// Pauses (ms) before frames and time-outs (ms) set with ZrTimeOut.
namespace timing {
inline constexpr uint32_t kRawFirstPause = 1;        // before the first routine frame
inline constexpr uint32_t kRawPause = 10;            // before every later raw frame
inline constexpr uint32_t kRawAfterDescriptor = 10;  // after sending the descriptor
inline constexpr uint32_t kRawAfterEnd = 100;        // after sending the end frame
inline constexpr int32_t kRawEndTimeout = 20000;     // for the end frame's answer
inline constexpr uint32_t kFramedPause = 1;          // before every addressed frame but the first
inline constexpr int32_t kFramedRoutineTimeout = 3000;
inline constexpr uint32_t kCompletedPause = 2000;  // after "Download completed."
inline constexpr uint32_t kDiagnosticReopenPause = 1000;

// The large readers' session.
inline constexpr uint32_t kLargePause = 1;             // before most frames of the session
inline constexpr int32_t kFlashEraseTimeout = 30000;   // FlashErase erases the whole flash
inline constexpr int32_t kLargeTimeout = 3000;         // every later frame of the flash download
inline constexpr int32_t kDataFlashTimeout = 10000;    // the two data-flash routines
inline constexpr int32_t kAppNumberTimeout = 500;      // AppNumberCheck, until FlashErase
inline constexpr uint32_t kWrongNumberPause = 10;      // after the unanswered EndSession
inline constexpr uint32_t kModemResetTimeout = 10000;  // ZrResetAndOpenKvTalModem's wait

// The cancel sequence of the download manager.
inline constexpr uint32_t kCancelFirstPause = 500;   // before its link is opened
inline constexpr uint32_t kCancelResetPause = 1500;  // between the reset and the close
}  // namespace timing

// The (a, b) pairs handed to ZrOpen: the open calls without a reset.
struct OpenPair {
    int32_t a;
    int32_t b;
};
namespace opens {
inline constexpr OpenPair kDiagnosticFirst{2, 55};    // the diagnostic path's first open
inline constexpr OpenPair kDiagnosticProbe{200, 87};  // to ask the loader for its variant
inline constexpr OpenPair kDiagnosticVariant0{2000, 23};
inline constexpr OpenPair kDiagnosticVariant1{2000, 55};
inline constexpr OpenPair kCancel{60000, 20};  // the cancel sequence's own link
}  // namespace opens

// Image limits of the 64 Kb readers. An image is at least its 2-byte signature, and it ends with
// the reader's flash at 0xFFFF (which also keeps an addressed block number from wrapping).
inline constexpr size_t kSmallImageMin = 2;
inline constexpr size_t kSmallImageMax = 0x10000 - 0x2000;  // 57,344 bytes, 0x2000-0xFFFF

// The longest S-record file the engine reads. Files are read whole, never cut: a file longer than
// this is refused. A full 1.5 MB flash written as S-records of one data byte each stays below it.
inline constexpr size_t kFileTextSize = 64u << 20;
// The image buffer of a small reader's download: one 0 byte, then the image.
inline constexpr size_t kImageBufferSize = 0x80000;

}  // namespace cordane

#endif
