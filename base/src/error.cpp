#include "base/error.h"

#include <cstdio>
#include <cstdlib>

namespace korvel::base {

std::string FormatError(const Error& error, std::string_view prefix) {
    std::string text(prefix);
    text += error.message;
    if (!error.hint.empty()) {
        text += '\n';
        text += error.hint;
    }
    return text;
}

namespace detail {

void UncheckedError(const Error& error) {
    std::fprintf(stderr, "a value was taken where there was an error: %s\n", error.message.c_str());
    std::abort();
}

}  // namespace detail
}  // namespace korvel::base
