#include "base/wide_text.h"

#include "handle.h"

namespace korvel::base {

Expected<std::wstring> WideText(const std::string& text) {
    return os::Wide(text);
}

std::string Utf8Text(const std::wstring& text) {
    return os::Narrow(text);
}

}  // namespace korvel::base
