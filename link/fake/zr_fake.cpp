#include "zr_fake.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <type_traits>

#include "base/hex.h"

namespace zrfake {

namespace {

struct State {
    std::mutex mutex;
    Script script;
    std::vector<Call> calls;
    std::set<int32_t> open;
    int32_t nextHandle = 0x101;  // never 0 or -1
    size_t frames = 0;           // frames sent so far
    int pendingLeft = -1;        // 5s still to answer for the current frame; -1: not started
    std::function<void(const std::string&)> log;
};

State& S() {
    static State state;
    return state;
}

// Records a call; the log line is written outside the lock.
void Record(std::unique_lock<std::mutex>& lock, Call call, const std::string& line) {
    State& s = S();
    s.calls.push_back(std::move(call));
    auto log = s.log;
    lock.unlock();
    if (log) log(line);
}

// One of the calls that open a handle (the reset-and-open calls, ZrEraseData1M): the script's next
// reset result, and a new handle unless that result is a failure.
unsigned ResetAndOpen(const char* op, ZrPort port, int32_t* handle) {
    State& s = S();
    std::unique_lock lock(s.mutex);
    unsigned result = 0;
    if (!s.script.resetResults.empty()) {
        result = s.script.resetResults.front();
        s.script.resetResults.pop_front();
    }
    if (result < ZR_FAIL_BASE) {
        *handle = s.nextHandle++;
        s.open.insert(*handle);
    }
    char line[96];
    std::snprintf(line, sizeof line, "%s port=0x%08X -> 0x%X", op, port, result);
    Record(lock, Call{op, *handle, port, result, {}}, line);
    return result;
}

}  // namespace

void Reset(Script script) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.script = std::move(script);
    s.calls.clear();
    s.open.clear();
    s.nextHandle = 0x101;
    s.frames = 0;
    s.pendingLeft = -1;
}

std::vector<Call> Calls() {
    std::lock_guard lock(S().mutex);
    return S().calls;
}

std::vector<std::vector<uint8_t>> SentFrames() {
    std::vector<std::vector<uint8_t>> frames;
    for (const Call& call : Calls()) {
        if (call.op == "ZrSendMessage") frames.push_back(call.bytes);
    }
    return frames;
}

size_t OpenHandles() {
    std::lock_guard lock(S().mutex);
    return S().open.size();
}

void SetLog(std::function<void(const std::string&)> log) {
    std::lock_guard lock(S().mutex);
    S().log = std::move(log);
}

// A window id on Linux, the system's handle on Windows: recorded as its number either way.
template <typename Window>
uint32_t WindowNumber(Window window) {
    if constexpr (std::is_pointer_v<Window>) {
        return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window));
    } else {
        return static_cast<uint32_t>(window);
    }
}

}  // namespace zrfake

using namespace zrfake;

extern "C" {

unsigned int ZrResetAndOpen(ZrPort port, int32_t* handle) {
    return ResetAndOpen("ZrResetAndOpen", port, handle);
}

unsigned int ZrResetAndOpen512(ZrPort port, int32_t* handle) {
    return ResetAndOpen("ZrResetAndOpen512", port, handle);
}

unsigned int ZrResetAndOpenKvTalModem(ZrPort port, int32_t* handle, HWND window, uint32_t waitMs) {
    const uint32_t owner = WindowNumber(window);
    const unsigned result = ResetAndOpen("ZrResetAndOpenKvTalModem", port, handle);
    State& s = S();
    std::unique_lock lock(s.mutex);
    char line[80];
    std::snprintf(line, sizeof line, "  owner=%u wait=%u", static_cast<unsigned>(owner),
                  static_cast<unsigned>(waitMs));
    Record(lock, Call{"modem-args", *handle, port, int64_t{owner} * 100000 + waitMs, {}}, line);
    return result;
}

unsigned int ZrResetAndOpen512Light(ZrPort port, int32_t* handle) {
    return ResetAndOpen("ZrResetAndOpen512Light", port, handle);
}

unsigned int ZrEraseData1M(ZrPort port, int32_t* handle) {
    return ResetAndOpen("ZrEraseData1M", port, handle);
}

int ZrOpen(int mode, ZrPort port, int a, int b, int32_t* handle) {
    State& s = S();
    std::unique_lock lock(s.mutex);
    int result = 0;
    if (!s.script.openResults.empty()) {
        result = s.script.openResults.front();
        s.script.openResults.pop_front();
    }
    if (result == 0) {
        *handle = s.nextHandle++;
        s.open.insert(*handle);
    }
    char line[96];
    std::snprintf(line, sizeof line, "ZrOpen mode=%d port=0x%08X a=%d b=%d -> %d", mode, port, a, b,
                  result);
    Record(lock, Call{"ZrOpen", result == 0 ? *handle : -1, port, int64_t{a} * 100000 + b, {}},
           line);
    return result;
}

void ZrClose(int32_t handle) {
    State& s = S();
    std::unique_lock lock(s.mutex);
    s.open.erase(handle);
    Record(lock, Call{"ZrClose", handle, 0, 0, {}}, "ZrClose " + std::to_string(handle));
}

void ZrKvrenReset(int32_t handle) {
    State& s = S();
    std::unique_lock lock(s.mutex);
    Record(lock, Call{"ZrKvrenReset", handle, 0, 0, {}}, "ZrKvrenReset " + std::to_string(handle));
}

int ZrSendMessage(int32_t handle, const unsigned char* bytes, int length) {
    State& s = S();
    std::unique_lock lock(s.mutex);
    const size_t frame = ++s.frames;
    s.pendingLeft = -1;
    const auto sent = s.script.sendResults.find(frame);
    const int result = sent == s.script.sendResults.end() ? 0 : sent->second;
    std::vector<uint8_t> message(bytes, bytes + std::max(length, 0));
    const std::string line =
        "ZrSendMessage #" + std::to_string(frame) + " [" + std::to_string(message.size()) + "] " +
        korvel::base::HexBytes(message) + (result ? " -> " + std::to_string(result) : "");
    Record(lock, Call{"ZrSendMessage", handle, 0, result, std::move(message)}, line);
    return result;
}

int ZrGetMessage(int32_t handle, unsigned char* buffer, int* length, int* other) {
    State& s = S();
    std::unique_lock lock(s.mutex);
    const size_t frame = s.frames;
    const auto found = s.script.replies.find(frame);
    const Reply reply = found == s.script.replies.end() ? Reply{} : found->second;
    auto onFrame = s.script.onFrame;
    if (s.pendingLeft < 0) {
        s.pendingLeft = reply.pending;
        if (onFrame) {
            lock.unlock();
            onFrame(frame);
            lock.lock();
        }
    }
    if (other) *other = 0;
    if (s.pendingLeft > 0) {
        --s.pendingLeft;
        *length = 0;
        s.calls.push_back(Call{"ZrGetMessage", handle, 0, ZR_PENDING, {}});  // not logged
        return ZR_PENDING;
    }
    const size_t count = std::min<size_t>(reply.bytes.size(), ZR_REPLY_BUFFER);
    if (reply.result == ZR_OK) {
        if (count > 0) std::memcpy(buffer, reply.bytes.data(), count);
        *length = static_cast<int>(count);
    }
    const std::string line =
        "ZrGetMessage -> " + std::to_string(reply.result) +
        (reply.result == ZR_OK ? " [" + korvel::base::HexBytes(reply.bytes) + "]" : "");
    Record(lock, Call{"ZrGetMessage", handle, 0, reply.result, reply.bytes}, line);
    return reply.result;
}

void ZrTimeOut(int32_t handle, int32_t milliseconds) {
    State& s = S();
    std::unique_lock lock(s.mutex);
    Record(lock, Call{"ZrTimeOut", handle, 0, milliseconds, {}},
           "ZrTimeOut " + std::to_string(milliseconds));
}

}  // extern "C"

#if defined(_WIN32)
// Code built against zr318.dll calls each operation through its import pointer (__imp_ZrOpen...),
// which the DLL's import library would hold. The fake holds them instead, so that the same
// objects (the engine's) link against it unchanged.
extern "C" {
#define ZR_FAKE_IMPORT(name) void* __imp_##name = reinterpret_cast<void*>(&name);
ZR_FAKE_IMPORT(ZrResetAndOpen)
ZR_FAKE_IMPORT(ZrResetAndOpen512)
ZR_FAKE_IMPORT(ZrResetAndOpenKvTalModem)
ZR_FAKE_IMPORT(ZrResetAndOpen512Light)
ZR_FAKE_IMPORT(ZrEraseData1M)
ZR_FAKE_IMPORT(ZrOpen)
ZR_FAKE_IMPORT(ZrClose)
ZR_FAKE_IMPORT(ZrKvrenReset)
ZR_FAKE_IMPORT(ZrSendMessage)
ZR_FAKE_IMPORT(ZrGetMessage)
ZR_FAKE_IMPORT(ZrTimeOut)
#undef ZR_FAKE_IMPORT
}
#endif
