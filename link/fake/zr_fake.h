// A scripted stand-in for the serial link. It records every call, with the bytes of every message
// and every time-out set, and answers from a script. Tests link it in place of the real link.
#ifndef ZR_FAKE_H
#define ZR_FAKE_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "zr318.h"

namespace zrfake {

struct Call {
    std::string op;              // "ZrSendMessage", "ZrGetMessage", ...
    int32_t handle = -1;         // the handle the call was given (or wrote, for open calls)
    uint32_t port = 0;           // open calls
    int64_t value = 0;           // ZrTimeOut's milliseconds, ZrOpen's (a * 100000 + b), results
    std::vector<uint8_t> bytes;  // ZrSendMessage's message, ZrGetMessage's reply
};

// What ZrGetMessage answers after a given frame: `pending` times 5, then `result` with `bytes`.
struct Reply {
    int pending = 0;
    int result = ZR_OK;
    std::vector<uint8_t> bytes{0x00};
};

struct Script {
    // Results of the reset-and-open calls, in order; 0 once used up.
    std::deque<unsigned> resetResults;
    // Results of ZrOpen, in order; 0 once used up.
    std::deque<int> openResults;
    // Result of ZrSendMessage for frame k (frames count from 1 across the whole run).
    std::map<size_t, int> sendResults;
    // Reply to frame k; frames without an entry are accepted with the single byte 0.
    std::map<size_t, Reply> replies;
    // Called with each frame's number before the fake answers (for cancel requests mid-run).
    std::function<void(size_t)> onFrame;
};

// Starts afresh: clears the record and installs the script.
void Reset(Script script = {});
// Everything called since Reset.
std::vector<Call> Calls();
// The messages sent, in order.
std::vector<std::vector<uint8_t>> SentFrames();
// Handles opened and not closed.
size_t OpenHandles();
// Receives one line for every call, in the order of the calls (set to null to stop).
void SetLog(std::function<void(const std::string&)> log);

}  // namespace zrfake

#endif
