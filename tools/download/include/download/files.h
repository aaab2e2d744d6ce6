// What a download's files and options are checked for before the engine starts, and the size of
// the image shown beside the bar.
#ifndef CORDANE_TOOLS_DOWNLOAD_FILES_H
#define CORDANE_TOOLS_DOWNLOAD_FILES_H

#include <cstdint>
#include <optional>
#include <string>

#include "base/error.h"
#include "cli/download_options.h"

namespace cordane::tools {

// The files, checked before the engine starts: it would report an unreadable file only after
// the reader was reset, and a FIFO without a writer would hold it forever.
korvel::base::Expected<void> CheckFiles(const DownloadOptions& options);

// Download type 1 deciphers the application: a number that does not read as three digits after
// it means a wrong key, or a file never enciphered, and the reader would take garbage. Warned as
// "cordane info" warns, before anything is erased.
void WarnAboutAppNumber(const DownloadOptions& options, uint32_t selector);

// The parameter block's options do nothing outside download type 1 on a large reader: said once,
// so that nobody believes a check ran.
void WarnUnusedChecks(const DownloadOptions& options);

// The size of the image the engine will send to a 64 Kb reader, converted the way the engine
// converts it; 0 when the file cannot be read or converted (the bar then shows percent only, and
// the engine itself reports what is wrong).
uint64_t SmallReaderImageSize(const std::string& path);

// The bytes the engine will send for the download `options` describe (the progress total of a
// large reader's download), worked out as the engine works them out; 0 when unknown: no reader
// type yet, an enciphered or erase-only download, or files the engine itself will refuse.
uint64_t ImageBytes(const DownloadOptions& options);

}  // namespace cordane::tools

#endif
