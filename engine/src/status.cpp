#include "status.h"

#include "cordane/protocol.h"
#include "zr318.h"

namespace cordane {

namespace {

struct StatusEntry {
    int code;
    const char* message;
};

// Status codes that have a message of their own.
constexpr StatusEntry kStatusTable[] = {
    {kStatusOpenFailed, "Error opening download session."},  // reset-and-open failed
    {kStatusCommunication, "Communication error."},          // send or fetch failed
    {kStatusNoReply, "No response from the reader."},        // no answer in the time-out
    {kStatusCancelled, "Download cancelled."},               // the client cancelled
};

}  // namespace

const char* StatusMessage(int status) {
    for (const StatusEntry& entry : kStatusTable) {
        if (entry.code == status) return entry.message;
    }
    return kDownloadErrorText;
}

unsigned LinkFailureStatus(unsigned result) {
    const unsigned status = result - ZR_FAIL_BASE;
    return status == kStatusOk ? static_cast<unsigned>(kStatusOpenFailed) : status;
}

void ShowError(const char* text, const CLoadInterface& client, bool boxesOn) {
    if (boxesOn) KvMessageBox(client.ownerWindow, text, kErrorCaption, MB_OK | MB_ICONERROR);
}

}  // namespace cordane
