// A global file (.glo) given to "cordane download": the reader detected (unless --reader names
// it), its part cut out into a temporary "bin" file, and that file downloaded as a binary
// download (type 2) for the reader type found.
#ifndef CORDANE_TOOLS_DOWNLOAD_GLOBAL_H
#define CORDANE_TOOLS_DOWNLOAD_GLOBAL_H

#include <sys/types.h>

#include <optional>
#include <string>

#include "cli/download_options.h"
#include "download/port.h"
#include "kit/global_file.h"
#include "cli/unique_fd.h"

namespace cordane::tools {

// A temporary directory holding the extracted "bin" file. Removed with its file when it goes out
// of scope, and by a watcher process when this one is killed outright, as the ports directory is.
class ExtractedGlobalFile {
  public:
    ExtractedGlobalFile() = default;
    ~ExtractedGlobalFile();
    ExtractedGlobalFile(const ExtractedGlobalFile&) = delete;
    ExtractedGlobalFile& operator=(const ExtractedGlobalFile&) = delete;

    // Creates the directory; call it before any thread starts (the watcher is a forked process).
    bool Create(std::string& error);
    // Extracts `globalPath` for `readerType` into the directory, and checks that part as the
    // engine will before it resets the reader. False with the message, which names the global
    // file and, for a write the reader cannot take, the component.
    bool Extract(const std::string& globalPath, int readerType, std::string& error);
    const std::string& path() const { return file_; }

  private:
    std::optional<std::string> PartProblem(const std::string& globalPath, int readerType,
                                           const korvel::kit::GloImage& image) const;

    std::string directory_;
    std::string file_;
    DirectoryWatcher watcher_;
};

struct GlobalFileRefusal {
    std::string message;
    int code = 0;
};

// Detects the reader on `port` unless options.reader is set (with --json, the event "detected"
// goes to `jsonFd` first, else a line to standard error), extracts its part into `extracted`,
// and makes options a binary download of that file for the reader type found. What refused it,
// if anything.
std::optional<GlobalFileRefusal> PrepareGlobalFile(DownloadOptions& options, const PortChoice& port,
                                                   int jsonFd, ExtractedGlobalFile& extracted);

}  // namespace cordane::tools

#endif
