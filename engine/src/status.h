// The engine's status table: from a job's status code to the text an operator sees.
#ifndef CORDANE_STATUS_H
#define CORDANE_STATUS_H

#include "cordane/cordane.h"

namespace cordane {

inline constexpr const char* kErrorCaption = "Download error";
// The message of a loader's own error code, and of every code without a message of its own.
inline constexpr const char* kDownloadErrorText = "Download error.";

// The message of a status, from the exit-code table: codes 3 to 6 have their own, every other code
// (a loader's error code among them) reads "Download error.".
const char* StatusMessage(int status);

// The status of a failed serial-link call's result (0xFF00 or more): the result less 0xFF00. A
// result of exactly 0xFF00 carries no status; it counts as a failed opening (3), never as a
// success.
unsigned LinkFailureStatus(unsigned result);

// Shows a message with the engine's caption and error icon, when boxes are on (a job's own
// failures end through Job::End).
void ShowError(const char* text, const CLoadInterface& client, bool boxesOn);

}  // namespace cordane

#endif
