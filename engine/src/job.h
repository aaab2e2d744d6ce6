// One running job: its client, its link, its message-box switch, and the one way a failed job
// ends.
//
// The system's procedures "end the thread" where they fail. Here a failure unwinds to the worker
// function as a JobEnded carrying the exit code: every buffer and the link are released by their
// owners on the way, and nothing crosses the library boundary, since the worker catches it.
//
// Every failure ends with the same steps (close the link, show the message, send the last
// notice), but not always in the same order: clients have always seen them in the order of the
// situation. The orders are the data below.
#ifndef CORDANE_JOB_H
#define CORDANE_JOB_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "cordane/cordane.h"
#include "engine_state.h"
#include "zr318.h"

namespace cordane {

struct JobEnded {
    unsigned exitCode;
};

enum class EndStep : uint8_t {
    CloseLink,   // close the job's link
    ForgetLink,  // forget a handle that a failed open call wrote, without closing it
    Message,     // the message box (when the job shows them)
    LastNotice,  // KvFinTelechargement(null, 1)
};

// The steps of one way of ending, in order, and the caption of its message box.
struct Ending {
    std::array<EndStep, 3> steps;
    size_t count;
    const char* caption = "Download error";
};

namespace endings {
using enum EndStep;
// A frame failed or the client cancelled during the session.
inline constexpr Ending kFailedFrame{{CloseLink, Message, LastNotice}, 3};
// The worker refused the port or a large reader's file: nothing is open, the notice comes first.
inline constexpr Ending kRefusedFirst{{LastNotice, Message}, 2};
// A small reader's file, the diagnostic loader, the data-flash erase of the serial link: the
// message, then the notice; the link, if any, is left as it is.
inline constexpr Ending kMessageFirst{{Message, LastNotice}, 2};
// A reset-and-open call failed: its handle is forgotten, never closed.
inline constexpr Ending kOpenFailed{{ForgetLink, Message, LastNotice}, 3};
// The file's identity is not the one expected: the link is closed last.
inline constexpr Ending kWrongIdentity{{Message, LastNotice, CloseLink}, 3, "Erreur au chargement"};
// The file's application number is not the one expected.
inline constexpr Ending kWrongNumber{{Message, CloseLink, LastNotice}, 3};
}  // namespace endings

// A serial-link handle, closed by its owner: explicitly where the protocol closes it, and in any
// case when the owner goes away.
class LinkHandle {
  public:
    LinkHandle() = default;
    LinkHandle(const LinkHandle&) = delete;
    LinkHandle& operator=(const LinkHandle&) = delete;
    ~LinkHandle() { Close(); }

    int32_t* Out() { return &handle_; }  // for the open calls to write
    int32_t Get() const { return handle_; }
    bool IsOpen() const { return handle_ != -1; }
    void Close() {
        if (handle_ != -1) ZrClose(handle_);
        handle_ = -1;
    }
    // Forgets the handle without closing it (a serial-link call has taken it over).
    void Release() { handle_ = -1; }

  private:
    int32_t handle_ = -1;
};

struct Job {
    CLoadInterface& client;
    LinkHandle link;
    bool boxesOn = true;
    uint64_t token = 0;  // the job's hold on the one-job lock
    // The parameter block as the job started: a later UpdateParam belongs to the next job.
    ParamBlock params = CurrentParamBlock();

    Job(CLoadInterface& c, uint64_t t) : client(c), token(t) {}

    // The last notice (code 1) also tells the engine that the job is done with what is shared.
    void Notice(int code, const char* text = nullptr);
    // The client gets a writable copy of the text, never the engine's constant.
    void Message(const char* text);

    // Ends the job with `code` after the steps of `ending`; `message` is shown when the job shows
    // message boxes (null: no message).
    [[noreturn]] void End(const Ending& ending, unsigned code, const char* message);
    // The steps alone, for a worker that ends the job itself.
    void Finish(const Ending& ending, const char* message);

    // The usual end of a failed exchange: close the link, show the message (boxes on), send the
    // last notice and end the job with the status.
    [[noreturn]] void Fail(int status, const char* message) {
        End(endings::kFailedFrame, static_cast<unsigned>(status), message);
    }
    // As Fail, with the status table's message for the status.
    [[noreturn]] void FailStatus(int status);
};

}  // namespace cordane

#endif
