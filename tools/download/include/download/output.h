// What a download's views write through: whole texts to a descriptor, the terminal's width and
// the clock their events are timed by.
#ifndef CORDANE_TOOLS_DOWNLOAD_OUTPUT_H
#define CORDANE_TOOLS_DOWNLOAD_OUTPUT_H

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string_view>

namespace cordane::tools {

// Writes all of `text`; a closed pipe or a full disk ends the writing, and the download goes on
// regardless.
inline void WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t put = ::write(fd, text.data(), text.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;
        text.remove_prefix(static_cast<size_t>(put));
    }
}

// Seconds on the steady clock.
inline double NowSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The width of the terminal on standard error; 80 when it tells none.
inline int TerminalColumns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

}  // namespace cordane::tools

#endif
