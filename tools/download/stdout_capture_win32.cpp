// The C runtime's standard output (file descriptor 1, which the engine's banner goes through) and
// the system's standard output handle are both pointed at the pipe, and both given back after.
// An anonymous pipe cannot be read without waiting, so a read takes only what the pipe holds.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "stdout_capture.h"

namespace cordane::tools {

namespace {

constexpr int kStandardOutput = 1;
constexpr DWORD kPipeBytes = 1 << 16;

}  // namespace

bool StdoutCapture::Start() {
    // Without an open standard output the pipe could take its number: leave it alone.
    const HANDLE standard = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (standard == nullptr || standard == INVALID_HANDLE_VALUE) return false;
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, nullptr, kPipeBytes)) return false;
    korvel::base::File read =
        korvel::base::File::Adopt(reinterpret_cast<std::intptr_t>(readEnd), "the engine's output");
    const int written = ::_open_osfhandle(reinterpret_cast<intptr_t>(writeEnd), _O_BINARY);
    if (written < 0) {
        ::CloseHandle(writeEnd);
        return false;
    }
    std::fflush(stdout);
    saved_ = ::_dup(kStandardOutput);
    if (saved_ < 0 || ::_dup2(written, kStandardOutput) < 0) {
        ::_close(written);
        if (saved_ >= 0) ::_close(saved_);
        saved_ = -1;
        return false;
    }
    ::_close(written);
    savedStream_ = reinterpret_cast<std::intptr_t>(standard);
    ::SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(::_get_osfhandle(kStandardOutput)));
    read_ = std::move(read);
    active_ = true;
    return true;
}

std::string StdoutCapture::Take() {
    std::string text;
    uint8_t buffer[512];
    while (read_) {
        DWORD available = 0;
        // The end (every writer gone) or an error: what came so far.
        if (!::PeekNamedPipe(reinterpret_cast<HANDLE>(read_.Native()), nullptr, 0, nullptr,
                             &available, nullptr) ||
            available == 0) {
            break;
        }
        const size_t asked = available < sizeof buffer ? available : sizeof buffer;
        const korvel::base::Expected<size_t> got = read_.Read({buffer, asked});
        if (!got || *got == 0) break;
        text.append(reinterpret_cast<const char*>(buffer), *got);
    }
    return text;
}

void StdoutCapture::Stop() {
    if (!active_) return;
    std::fflush(stdout);
    ::_dup2(saved_, kStandardOutput);
    ::_close(saved_);
    saved_ = -1;
    ::SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(savedStream_));
    savedStream_ = -1;
    active_ = false;
}

}  // namespace cordane::tools
