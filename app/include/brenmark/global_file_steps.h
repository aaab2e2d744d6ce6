// Start's two steps for a global file as the program runs them: detect the attached reader, then
// cut its part out of the global file into the "bin" file that is downloaded instead.
#ifndef BRENMARK_GLOBAL_FILE_STEPS_H
#define BRENMARK_GLOBAL_FILE_STEPS_H

#include "kit/detection.h"

namespace brenmark {

class CDownloadDlg;

// Detects the reader on the dialog's port word and sets its reader type index and detection
// bytes. On failure: the failure's messages are shown at their moments, the download result
// becomes 2, and false is returned.
bool DetectDialogReader(CDownloadDlg& dialog, const korvel::kit::DetectionOptions& options = {});

// Extracts the global file named by the dialog's global file name for its reader type index and
// replaces that name by the "bin" file written. On failure the message is shown, nothing is
// written, the name stays, and false is returned.
bool ExtractDialogGlobalFile(CDownloadDlg& dialog);

}  // namespace brenmark

#endif
