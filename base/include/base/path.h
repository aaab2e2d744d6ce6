// Paths given in UTF-8, the system's text everywhere in this project, as the standard library's
// paths and back: on every system, not only where the system's own encoding happens to be UTF-8
// (a Windows path built from a plain string would go through the ANSI code page).
#ifndef KORVEL_BASE_PATH_H
#define KORVEL_BASE_PATH_H

#include <filesystem>
#include <string>

namespace korvel::base {

inline std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string Utf8Of(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace korvel::base

#endif
