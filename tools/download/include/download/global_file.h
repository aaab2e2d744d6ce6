// A global file (.glo) given to "cordane download": the reader detected (unless --reader names
// it), its part cut out into a temporary "bin" file, and that file downloaded as a binary
// download (type 2) for the reader type found.
#ifndef CORDANE_TOOLS_DOWNLOAD_GLOBAL_FILE_H
#define CORDANE_TOOLS_DOWNLOAD_GLOBAL_FILE_H

#include <cstdint>
#include <string>

#include "base/cleanup_watcher.h"
#include "base/error.h"
#include "base/file.h"
#include "cli/download_options.h"
#include "download/port.h"
#include "kit/global_file.h"

namespace cordane::tools {

// A temporary folder holding the extracted "bin" file. Removed with its file when it goes out of
// scope, and by its watcher when this process is killed outright, as the ports folder is.
class ExtractedGlobalFile {
  public:
    // Creates the folder.
    korvel::base::Expected<void> Create();
    // Extracts the part of `globalPath` for `readerType` into the folder, and checks it as the
    // engine will before it resets the reader. The bytes the engine will send for it, from the
    // extraction's own image. Refused with a message that names the global file and, for a write
    // the reader cannot take, the component.
    korvel::base::Expected<uint64_t> Extract(const std::string& globalPath, int readerType);
    const std::string& path() const { return file_; }

  private:
    korvel::base::Expected<uint64_t> CheckPart(const std::string& globalPath, int readerType,
                                               const korvel::kit::GloImage& image) const;

    korvel::base::TemporaryFolder folder_;
    std::string file_;
};

// Detects the reader on `port` unless options.reader is set (with --json, the event "detected"
// goes to `json` first, else a line to standard error), extracts its part into `extracted`, and
// makes options a binary download of that file for the reader type found. The bytes the engine
// will send for it; refused with the exit code of a failed detection, or kExitBadInput.
korvel::base::Expected<uint64_t> PrepareGlobalFile(DownloadOptions& options, const PortChoice& port,
                                                   korvel::base::File& json,
                                                   ExtractedGlobalFile& extracted);

}  // namespace cordane::tools

#endif
