// Libraries loaded while running, on Windows. A library that is missing, or one that a library it
// needs is missing for, fails with the system's reason and no dialog box.
#include <windows.h>

#include "handle.h"
#include "os.h"
#include "system_error.h"

namespace korvel::base::os {

Expected<Handle> LoadSharedLibrary(const std::string& name) {
    KORVEL_ASSIGN_OR_RETURN(const std::wstring wide, Wide(name));
    DWORD previous = 0;
    const bool quiet =
        ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous) != FALSE;
    HMODULE library = ::LoadLibraryW(wide.c_str());
    const DWORD error = ::GetLastError();
    if (quiet) ::SetThreadErrorMode(previous, nullptr);
    if (library == nullptr) return SystemError(error);
    return reinterpret_cast<Handle>(library);
}

void* FindSymbol(Handle library, const char* symbol) noexcept {
    return reinterpret_cast<void*>(::GetProcAddress(reinterpret_cast<HMODULE>(library), symbol));
}

}  // namespace korvel::base::os
