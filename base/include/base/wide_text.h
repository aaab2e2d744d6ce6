// The system's UTF-16 text on Windows, for the W calls of code outside this library: the same
// conversions this library's own Windows half uses, so that there is one of each.
#ifndef KORVEL_BASE_WIDE_TEXT_H
#define KORVEL_BASE_WIDE_TEXT_H

#ifdef _WIN32

#include <string>

#include "base/error.h"

namespace korvel::base {

// UTF-8 as UTF-16; text that is not valid UTF-8 is refused (Cause::BadInput), never passed on
// changed.
Expected<std::wstring> WideText(const std::string& text);
// UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8Text(const std::wstring& text);

}  // namespace korvel::base

#endif

#endif
