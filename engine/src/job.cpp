// The operations of a running job: its notices and messages to the client, and its ending.

#include "job.h"

#include <string>

#include "status.h"

namespace cordane {

void Job::Notice(int code, const char* text) {
    if (code == KV_NOTICE_OVER) JobFinishing(token);
    // The callback takes a writable text: it gets a copy, never the engine's constant.
    std::string copy = text ? text : "";
    client.KvFinTelechargement(text ? copy.data() : nullptr, code);
}

void Job::Message(const char* text) {
    std::string copy = text;
    client.KvSetMessage(copy.data());
}

void Job::Finish(const Ending& ending, const char* message) {
    // After the last notice the client may be gone: its owner window is taken first.
    const HWND owner = client.ownerWindow;
    for (size_t i = 0; i < ending.count; ++i) {
        switch (ending.steps[i]) {
            case EndStep::CloseLink:
                link.Close();
                break;
            case EndStep::ForgetLink:
                link.Release();
                break;
            case EndStep::Message:
                if (boxesOn && message) {
                    KvMessageBox(owner, message, ending.caption, MB_OK | MB_ICONERROR);
                }
                break;
            case EndStep::LastNotice:
                Notice(KV_NOTICE_OVER);
                break;
        }
    }
}

void Job::End(const Ending& ending, unsigned code, const char* message) {
    Finish(ending, message);
    throw JobEnded{code};
}

void Job::FailStatus(int status) {
    Fail(status, StatusMessage(status));
}

}  // namespace cordane
