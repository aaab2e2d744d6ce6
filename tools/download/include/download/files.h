// What a download's files and options are checked for before the engine starts, and the size of
// the image shown beside the bar.
#ifndef CORDANE_TOOLS_DOWNLOAD_FILES_H
#define CORDANE_TOOLS_DOWNLOAD_FILES_H

#include <cstdint>

#include "base/error.h"
#include "cli/download_options.h"

namespace cordane::tools {

// What the checks of a download's files found out.
struct CheckedFiles {
    // The bytes the engine will send (the progress total of a large reader's download, the
    // converted image of a 64 Kb reader's), from the files read once and built as the engine
    // builds them; 0 when unknown: a global file's part (known once extracted), an enciphered or
    // erase-only download, or files the engine itself will refuse.
    uint64_t imageBytes = 0;
};

// The files, checked before the engine starts: it would report an unreadable file only after
// the reader was reset, and a FIFO without a writer would hold it forever.
korvel::base::Expected<CheckedFiles> CheckFiles(const DownloadOptions& options);

// Download type 1 deciphers the application: a number that does not read as three digits after
// it means a wrong key, or a file never enciphered, and the reader would take garbage. Warned as
// "cordane info" warns, before anything is erased.
void WarnAboutAppNumber(const DownloadOptions& options, uint32_t selector);

// The parameter block's options do nothing outside download type 1 on a large reader: said once,
// so that nobody believes a check ran.
void WarnUnusedChecks(const DownloadOptions& options);

}  // namespace cordane::tools

#endif
