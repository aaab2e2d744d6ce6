#include "status.h"

#include "protocol.h"

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

void ShowErrorTo(HWND owner, const char* text, bool boxesOn) {
    if (boxesOn) KvMessageBox(owner, text, kErrorCaption, MB_OK | MB_ICONERROR);
}

void ShowError(const char* text, const CLoadInterface& client, bool boxesOn) {
    ShowErrorTo(client.ownerWindow, text, boxesOn);
}

void ReportStatus(int status, const CLoadInterface& client, bool boxesOn) {
    ShowError(StatusMessage(status), client, boxesOn);
}

}  // namespace cordane
