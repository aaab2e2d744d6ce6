#include "status.h"

#include "cordane/exit_codes.h"
#include "cordane/protocol.h"
#include "zr318.h"

namespace cordane {

// The serial link reports its failures with the same codes.
static_assert(ZR_STATUS_OPEN_FAILED == kExitOpenFailed);
static_assert(ZR_STATUS_COMMUNICATION == kExitCommunication);
static_assert(ZR_STATUS_NO_REPLY == kExitNoResponse);
static_assert(ZR_STATUS_CANCELLED == kExitCancelled);

const char* StatusMessage(int status) {
    const ExitCodeFacts* facts = FactsOfExitCode(status);
    return facts != nullptr && facts->message != nullptr ? facts->message : kDownloadErrorText;
}

unsigned LinkFailureStatus(unsigned result) {
    const unsigned status = result - ZR_FAIL_BASE;
    return status == kStatusOk ? static_cast<unsigned>(kStatusOpenFailed) : status;
}

void ShowError(const char* text, const CLoadInterface& client, bool boxesOn) {
    if (boxesOn) KvMessageBox(client.ownerWindow, text, kErrorCaption, MB_OK | MB_ICONERROR);
}

}  // namespace cordane
