// One emulated reader as the host sees it through the wire frames: resets start loader sessions,
// loader frames go to the running loader, and answers come back. No I/O: the program around it
// owns the line, the clock and the files.
#ifndef KORVEL_SIM_READER_MODEL_H
#define KORVEL_SIM_READER_MODEL_H

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "sim/flash_model.h"
#include "sim/light_loader.h"
#include "sim/loader.h"
#include "sim/transcript.h"
#include "zr318/wire.h"

namespace korvel::sim {

// A fault injected at one loader frame of every session.
enum class FaultKind : uint8_t {
    Fail,    // answer with `code` instead of taking the frame
    Drop,    // take nothing, answer nothing
    HangUp,  // take nothing, close the line
};

struct Fault {
    FaultKind kind = FaultKind::Fail;
    uint8_t code = 0;  // the status byte of a Fail
};

// Faults by frame index within a session (the first loader frame after a reset is 1).
using FaultPlan = std::map<uint32_t, Fault>;

// Why a session ended.
enum class SessionEnd : uint8_t {
    EndFrame,    // the loader took its closing frame (end frame, EndSession)
    Leave,       // LeaveLoader
    Reset,       // a new ResetLoader
    HostClosed,  // the host closed the line
    HangUp,      // an injected hang-up
    Exit,        // the emulator stops
};

const char* SessionEndName(SessionEnd why);

class ReaderObserver {
  public:
    virtual ~ReaderObserver() = default;
    virtual void OnFrame(const TranscriptEntry& entry) = 0;
    virtual void OnSessionEnd(SessionEnd why) = 0;
};

// What goes back on the line for one received frame.
struct Reply {
    std::vector<uint8_t> bytes;  // encoded wire frame; empty when nothing is sent
    bool loaderAnswer = false;   // an answer to a loader frame (subject to the answer delay)
    bool hangUp = false;         // close the line instead of answering
};

class ReaderModel {
  public:
    // The reader of `layout`; its loaders take the catalogue routines of that type. A 64 Kb
    // reset starts `smallLoader`. `appNumber` is the number of the application a large reader
    // holds at the start (nothing: none known, AppNumberCheck accepts any). A light reset
    // starts the loader of reader detection, which answers with `identity` (nothing: the bytes
    // of the layout's type). The first `failOpens` resets are refused, as if the reader did not
    // start its loader.
    ReaderModel(const ReaderLayout& layout, LoaderKind smallLoader, FaultPlan faults = {},
                AppNumber appNumber = {}, std::optional<IdentityBytes> identity = {},
                uint32_t failOpens = 0);

    // Takes one frame from the host.
    Reply Take(const wire::Frame& frame);
    // The host closed the line: a session in progress ends and its loader stops.
    void HostClosed();
    // The emulator stops: a session in progress ends.
    void Exit();

    void SetObserver(ReaderObserver* observer) { observer_ = observer; }
    const FlashModel& Flash() const { return flash_; }
    const AppNumber& HeldAppNumber() const { return appNumber_; }
    uint32_t Session() const { return session_; }
    // The session last started (the one ending, while OnSessionEnd runs) began with a light
    // reset: reader detection's, whose loader works in RAM and never writes the flash.
    bool DetectionSession() const { return detection_; }
    bool LoaderRunning() const { return loader_ != nullptr; }

  private:
    Reply TakeReset(const wire::Frame& frame);
    Reply TakeMessage(const wire::Frame& frame);
    Reply TakeLeave(const wire::Frame& frame);
    Reply TakeEraseData(const wire::Frame& frame);
    void End(SessionEnd why);
    void Emit(const TranscriptEntry& entry);
    // A transcript entry of this session for a frame of `kind`.
    TranscriptEntry NewEntry(const char* kind, size_t length) const;

    const ReaderLayout& layout_;
    LoaderKind smallLoader_;
    FaultPlan faults_;
    FlashModel flash_;
    AppNumber appNumber_;
    std::optional<IdentityBytes> identity_;
    uint32_t failOpens_ = 0;  // resets still to refuse
    uint32_t resets_ = 0;     // resets received
    std::unique_ptr<Loader> loader_;
    ReaderObserver* observer_ = nullptr;
    uint32_t session_ = 0;
    uint32_t index_ = 0;      // loader frames received in this session
    bool open_ = false;       // a session started and has not ended
    bool detection_ = false;  // the session last started began with a light reset
    const char* idleReason_ = "no loader runs yet; send ResetLoader first";
};

}  // namespace korvel::sim

#endif
