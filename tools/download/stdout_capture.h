// While it runs, what is written to standard output (the engine's conversion banner) goes into a
// pipe the main thread reads, so that it neither breaks the bar nor mixes into the JSON lines.
// Standard output is the process's own: each system redirects it in a file of its own
// (stdout_capture_posix.cpp, stdout_capture_win32.cpp).
#ifndef CORDANE_TOOLS_DOWNLOAD_STDOUT_CAPTURE_H
#define CORDANE_TOOLS_DOWNLOAD_STDOUT_CAPTURE_H

#include <cstdint>
#include <string>

#include "base/file.h"

namespace cordane::tools {

class StdoutCapture {
  public:
    StdoutCapture() = default;
    ~StdoutCapture() { Stop(); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Redirects standard output into the pipe; false when it cannot (it then stays as it is).
    bool Start();
    // The pipe's read end, which never waits: for WaitForAny.
    const korvel::base::File& pipe() const { return read_; }
    // What has been written so far.
    std::string Take();
    // Gives standard output back; the pipe can still be read to its end.
    void Stop();

  private:
    korvel::base::File read_;
    int saved_ = -1;                  // standard output as it was
    std::intptr_t savedStream_ = -1;  // and the system's handle for it, where it has one apart
    bool active_ = false;
};

}  // namespace cordane::tools

#endif
