// The engine's status table: from a job's status code to the text an operator sees.
#ifndef CORDANE_STATUS_H
#define CORDANE_STATUS_H

#include "cordane/cordane.h"

namespace cordane {

inline constexpr const char* kErrorCaption = "Download error";
// The message of a loader's own error code, and of every code without a message of its own.
inline constexpr const char* kDownloadErrorText = "Download error.";

// The message of a status: codes 3 to 6 have their own, every other code (a loader's error code
// among them) reads "Download error.".
const char* StatusMessage(int status);

// Shows the status's message in a box owned by the client's owner window, when boxes are on.
void ReportStatus(int status, const CLoadInterface& client, bool boxesOn);

// Shows a message with the engine's caption and error icon, when boxes are on.
void ShowError(const char* text, const CLoadInterface& client, bool boxesOn);
// The same for a message that follows the job's last notice: after that notice the client may
// be gone, so its owner window is taken before the notice is sent.
void ShowErrorTo(HWND owner, const char* text, bool boxesOn);

}  // namespace cordane

#endif
