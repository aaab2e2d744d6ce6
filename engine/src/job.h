// One running job: its client, its link, its message-box switch, and the way a failure deep
// inside a procedure ends the job.
//
// The system's procedures "end the thread" where they fail. Here a failure unwinds to the worker
// function as a JobEnded carrying the exit code: every buffer and the link are released by their
// owners on the way, and nothing crosses the library boundary, since the worker catches it.
#ifndef CORDANE_JOB_H
#define CORDANE_JOB_H

#include <cstdint>

#include "cordane/cordane.h"
#include "engine_state.h"
#include "zr318.h"

namespace cordane {

struct JobEnded {
    unsigned exitCode;
};

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

    // The usual end of a failed exchange: close the link, show the message (boxes on), send the
    // last notice and end the job with the status.
    [[noreturn]] void Fail(int status, const char* message);
    // As Fail, with the status table's message for the status.
    [[noreturn]] void FailStatus(int status);
};

}  // namespace cordane

#endif
