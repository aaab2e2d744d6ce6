#include "stdout_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <span>

namespace cordane::tools {

bool StdoutCapture::Start() {
    // Without an open standard output the pipe could take its number: leave it alone.
    if (::fcntl(STDOUT_FILENO, F_GETFD) < 0) return false;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    korvel::base::File read = korvel::base::File::Adopt(ends[0], "the engine's output");
    ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    std::fflush(stdout);
    saved_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved_ < 0 || ::dup2(ends[1], STDOUT_FILENO) < 0) {
        ::close(ends[1]);
        if (saved_ >= 0) ::close(saved_);
        saved_ = -1;
        return false;
    }
    ::close(ends[1]);
    read_ = std::move(read);
    active_ = true;
    return true;
}

std::string StdoutCapture::Take() {
    std::string text;
    uint8_t buffer[512];
    while (read_) {
        // Nothing more yet (Cause::WouldBlock), the end, or an error: what came so far.
        const korvel::base::Expected<size_t> got = read_.Read(buffer);
        if (!got || *got == 0) break;
        text.append(reinterpret_cast<const char*>(buffer), *got);
    }
    return text;
}

void StdoutCapture::Stop() {
    if (!active_) return;
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    saved_ = -1;
    active_ = false;
}

}  // namespace cordane::tools
