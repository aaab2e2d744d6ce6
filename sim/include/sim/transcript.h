// One JSON object per line for every frame the reader receives:
//   {"session":1,"index":3,"kind":"descriptor","address":"0x2002","length":65,"answer":0}
// "answer" is null when nothing was sent back; "detail" appears when a frame was refused or a
// fault was injected.
#ifndef KORVEL_SIM_TRANSCRIPT_H
#define KORVEL_SIM_TRANSCRIPT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace korvel::sim {

struct TranscriptEntry {
    uint32_t session = 0;             // 1 from the first ResetLoader on; 0 before it
    uint32_t index = 0;               // loader frame in its session from 1; 0 for other frames
    std::string kind;                 // "descriptor", "write-block", "reset", "leave", ...
    std::optional<uint32_t> address;  // reader address the frame is about
    size_t length = 0;                // bytes of the frame's payload
    std::optional<uint8_t> answer;    // status byte sent back, if any
    std::string detail;  // why a frame was refused, which fault was injected, or the bytes
                         // a ReadMemory answered (its answer then null: no status byte)
};

// The entry as one line of JSON, without the line end.
std::string TranscriptLine(const TranscriptEntry& entry);

}  // namespace korvel::sim

#endif
