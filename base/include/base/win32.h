// What a Windows half elsewhere in the system takes from base: the UTF-16 of the system's W calls
// and the system's words for an error code. Windows only.
#ifndef KORVEL_BASE_WIN32_H
#define KORVEL_BASE_WIN32_H

#if !defined(_WIN32)
#error "base/win32.h is for Windows code only"
#endif

#include <string>

#include "base/error.h"

namespace korvel::base::win32 {

// UTF-8 as UTF-16 for the system's W calls; text that is not valid UTF-8 is refused
// (Cause::BadInput), never passed on changed.
Expected<std::wstring> Utf16(const std::string& text);
// The system's UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8(const std::wstring& text);
// The system's text for a Windows error code (GetLastError), one line without its full stop.
std::string ErrorText(unsigned long error);

}  // namespace korvel::base::win32

#endif
