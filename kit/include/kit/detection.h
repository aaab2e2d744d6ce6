// Reader detection: which large reader is attached, learnt by loading a small loader into it and
// reading identification bytes through it.
//
//   open      ZrResetAndOpen512Light, up to three calls 100 ms apart
//   load      the loader block (the loader's S-records converted over [0x80009, 0x83000)) sent
//             with LoadRoutine in chunks of 240 bytes to 0x80000 + offset, 1 ms before each;
//             every chunk must be accepted (status byte 0)
//   start     RunRoutine with byte 0 of the block, 1 ms after the last chunk
//   identify  ReadMemory of 2 bytes at 0x1000 (g, r), then 3 bytes at 0x86001 when g < 5, else
//             7 bytes at 0xF001 (byte 0 holds flags); the reader table maps them to a type
//   end       EndSession, then ZrClose: on every path on which the link opened, once
//
// The loader block's used bytes are also written to a debug file ("Dbg.txt").
//
// A read that gets no answer or fewer bytes than asked for is a failed detection: the reader
// type is never guessed from missing bytes. The messages a failure calls for come back in the
// result, in the order they are to be shown; a caller that shows them hands over `show`, which
// gets each at its moment: the allocation box while the link is still open, the failure's
// message once it is closed.
#ifndef KORVEL_KIT_DETECTION_H
#define KORVEL_KIT_DETECTION_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cordane/protocol.h"
#include "cordane/readers.h"
#include "zr318.h"

namespace korvel::kit {

namespace detect {
inline constexpr uint32_t kWindowLower = 0x80009;  // the loader block's byte 0
// The light reset's RAM and the chunks the loader goes there in: the loader protocol's
// (cordane/protocol.h).
inline constexpr uint32_t kWindowUpper = cordane::detection::kRamEnd;
inline constexpr size_t kBlockCapacity = kWindowUpper - kWindowLower;  // 12,279 bytes
inline constexpr size_t kChunk = cordane::detection::kChunk;
inline constexpr uint32_t kLoadAddress = cordane::detection::kRamStart;
inline constexpr int kOpenTries = 3;
inline constexpr uint32_t kOpenPause = 100;  // ms between two open calls
inline constexpr uint32_t kFramePause = 1;   // ms before each chunk and before the start frame

// The identification reads, and the type their answers decide, are the reader table's
// (cordane/readers.h: kDetectionBytesRead, SecondReadFor, IdentifiedReader).

inline constexpr char kDebugFile[] = "Dbg.txt";
}  // namespace detect

// The message of every failed detection, in a plain box with the application's title.
inline constexpr char kDetectionFailedText[] =
    "Problèmes de dialogue avec le lecteur.\nVérifier que celui-ci est correctement connecté.";
// Shown first when the loader block cannot be allocated: no owner, caption "SLoader".
inline constexpr char kAllocationText[] = "Problème d'allocation mémoire";
inline constexpr char kAllocationCaption[] = "SLoader";

enum class DetectionFailure : uint8_t {
    None = 0,
    OpenFailed,    // the link did not open in three calls
    OutOfMemory,   // no room for the loader block
    BadLoader,     // the loader's S-records do not convert
    ChunkRefused,  // a load chunk was refused, or the link failed while loading
    NoIdentity,    // an identification read got no answer or a short one
};

struct DetectionMessage {
    std::string text;
    std::string caption;  // empty: the application's title
    bool owned = true;    // owned by the dialog; false for a box without owner
};

struct DetectionOptions {
    // The loader's S-record text; empty: the built-in loader.
    std::string loader;
    // Where the loader block's used bytes are written; empty: not written.
    std::string debugFile = detect::kDebugFile;
    // Shows a message at its moment; empty: the messages are only returned.
    std::function<void(const DetectionMessage&)> show;
    // Allocates the loader block (null when there is no memory for it); empty: the heap.
    std::function<std::unique_ptr<uint8_t[]>(size_t)> allocate;
};

struct DetectionResult {
    DetectionFailure failure = DetectionFailure::None;
    int readerType = -1;                      // set on success
    std::array<uint8_t, 2> detectionBytes{};  // g and r
    std::vector<uint8_t> secondAnswer;        // the answer to identify 2 or 3
    std::string detail;                       // on failure: what went wrong, where
    std::vector<DetectionMessage> messages;   // on failure: to be shown, in this order
    int openCalls = 0;
    unsigned lastOpenResult = 0;  // the last open call's result
    size_t loaderBytes = 0;       // the loader block's used size
    size_t chunksSent = 0;        // chunks accepted
    bool debugWritten = false;
    bool Ok() const { return failure == DetectionFailure::None; }
    // The link opened but the reader refused the light reset, as the 64 Kb readers do: they
    // cannot be detected.
    bool ResetRefused() const {
        return failure == DetectionFailure::OpenFailed &&
               lastOpenResult == unsigned{ZR_FAIL_BASE} + unsigned{ZR_STATUS_COMMUNICATION};
    }
};

// Runs one detection on `port` (the port word widened with its sign). Every detection starts
// from a closed link and leaves it closed.
DetectionResult DetectReader(ZrPort port, const DetectionOptions& options = {});

// The identification bytes as hexadecimal text ("05 00 48 ..."): g, r, then the second answer.
std::string IdentificationText(const DetectionResult& result);

}  // namespace korvel::kit

#endif
