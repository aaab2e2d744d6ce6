// Starts a program with a command line written exactly as a development kit writes it, which a
// Unix shell and Wine's own start-up would quote otherwise (the double quotes of |PATHMKI=):
// the line comes in KORVEL_COMMAND_LINE, in UTF-8. Waits for the program and ends with its exit
// code; 125 when it could not be started.
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/win32.h"

int main() {
    const DWORD size = GetEnvironmentVariableW(L"KORVEL_COMMAND_LINE", nullptr, 0);
    if (size == 0) {
        std::fprintf(stderr, "command-line-launcher: KORVEL_COMMAND_LINE is not set\n");
        return 125;
    }
    std::wstring line(size, L'\0');
    line.resize(GetEnvironmentVariableW(L"KORVEL_COMMAND_LINE", line.data(), size));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "command-line-launcher: cannot start %s: %s\n",
                     korvel::base::win32::Utf8(line).c_str(),
                     korvel::base::win32::ErrorText(GetLastError()).c_str());
        return 125;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 125;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}
