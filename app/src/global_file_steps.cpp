#include "brenmark/global_file_steps.h"

#include "brenmark/download_dialog.h"
#include "kit/global_file.h"

namespace brenmark {

using korvel::kit::DetectionMessage;
using korvel::kit::DetectionOptions;
using korvel::kit::DetectionResult;
using korvel::kit::GloExtraction;
using korvel::kit::GloRefusal;

bool DetectDialogReader(CDownloadDlg& dialog, const DetectionOptions& options) {
    // The port word widened with its sign, as the link takes it.
    const auto port = static_cast<ZrPort>(static_cast<int32_t>(dialog.portWord));
    // Each message at its moment: the allocation box before the link is closed.
    DetectionOptions shown = options;
    shown.show = [&dialog](const DetectionMessage& message) {
        dialog.ShowMessage(message.text, MB_OK, message.caption, message.owned);
    };
    const DetectionResult result = DetectReader(port, shown);
    if (!result.Ok()) {
        dialog.downloadResult = 2;
        return false;
    }
    dialog.detectionBytes = result.detectionBytes;
    dialog.readerType = static_cast<eReaderType>(result.readerType);
    return true;
}

bool ExtractDialogGlobalFile(CDownloadDlg& dialog) {
    const GloExtraction extraction =
        korvel::kit::ExtractGlobalFile(dialog.globalFileName, dialog.readerType);
    if (!extraction.Ok()) {
        const GloRefusal& refusal = extraction.refusal;
        if (refusal.caution) {
            dialog.ShowMessage(refusal.text, MB_OK | MB_ICONWARNING, "CAUTION");
        } else {
            dialog.ShowMessage(refusal.text, MB_OK);
        }
        return false;
    }
    dialog.globalFileName = extraction.binPath;
    return true;
}

}  // namespace brenmark
