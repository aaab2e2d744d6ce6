// The console on Windows. The C runtime hands main its arguments in the ANSI code page, which
// cannot hold every file name: they are taken again from the system's UTF-16 command line. The
// console is switched to UTF-8 output, and to the escape sequences of the live views where it
// takes them (Windows 10 and later); modes changed are put back when the program ends.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, whose declarations it uses.
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/terminal.h"
#include "base/win32.h"
#include "cli/console.h"

namespace cordane::tools {

namespace {

struct ConsoleState {
    bool prepared = false;
    UINT outputCodePage = 0;  // 0: not changed
    HANDLE streams[2] = {nullptr, nullptr};
    DWORD modes[2] = {0, 0};
    bool changed[2] = {false, false};
    bool escapes[2] = {false, false};  // per stream: whether the live views' sequences work
};

ConsoleState g_console;

int IndexOf(korvel::base::StandardStream stream) {
    return stream == korvel::base::StandardStream::Output ? 0 : 1;
}

void RestoreConsole() {
    for (int i = 0; i < 2; ++i) {
        if (g_console.changed[i]) ::SetConsoleMode(g_console.streams[i], g_console.modes[i]);
    }
    if (g_console.outputCodePage != 0) ::SetConsoleOutputCP(g_console.outputCodePage);
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) arguments.push_back(korvel::base::win32::Utf8(wide[i]));
    ::LocalFree(wide);
    return arguments;
}

void PrepareConsole() {
    if (g_console.prepared) return;
    g_console.prepared = true;
    // Lines end in "\n" alone, as on every other system: the JSON lines and the files other
    // programs read are the same everywhere, and the console takes them as they are.
    for (FILE* stream : {stdout, stderr}) {
        if (::_fileno(stream) >= 0) ::_setmode(::_fileno(stream), _O_BINARY);
    }
    const UINT codePage = ::GetConsoleOutputCP();
    if (codePage != 0 && codePage != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) {
        g_console.outputCodePage = codePage;
    }
    const DWORD which[2] = {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int i = 0; i < 2; ++i) {
        const HANDLE handle = ::GetStdHandle(which[i]);
        DWORD mode = 0;
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
            !::GetConsoleMode(handle, &mode)) {
            continue;  // a file or a pipe: plain lines there
        }
        g_console.streams[i] = handle;
        g_console.modes[i] = mode;
        if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
            g_console.escapes[i] = true;
            continue;
        }
        // Refused by consoles before Windows 10: the views then write plain lines.
        if (::SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
            g_console.changed[i] = true;
            g_console.escapes[i] = true;
        }
    }
    std::atexit(RestoreConsole);
}

bool CanDrawLive(korvel::base::StandardStream stream) {
    if (stream == korvel::base::StandardStream::Input) return false;
    const char* term = std::getenv("TERM");
    if (term != nullptr && std::strcmp(term, "dumb") == 0) return false;
    PrepareConsole();
    return g_console.escapes[IndexOf(stream)] && korvel::base::IsTerminal(stream);
}

const char* PortsOrigin() {
    return "Ports are the system's serial ports, \\\\.\\COM<n> (COM1 to COM256), and the virtual\n"
           "reader ports \\\\.\\Korvel_reader_<nn> (KORVEL00 to KORVEL98).\n";
}

std::string NoPortHint() {
    return "plug in the reader's adapter (its COM port appears in the Device Manager under "
           "\"Ports (COM & LPT)\"), or install the reader's virtual port driver";
}

}  // namespace cordane::tools
