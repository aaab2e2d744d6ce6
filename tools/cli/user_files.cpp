#include "cli/user_files.h"

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include "cordane/formats/large_layout.h"

namespace cordane::tools {

korvel::base::Error GiveInstead(korvel::base::Error error, const std::string& wanted) {
    using korvel::base::Cause;
    if (error.cause == Cause::IsDirectory) return std::move(error).WithHint("give " + wanted);
    if (error.cause == Cause::NotRegularFile) {
        // A pipe or a device may never end, or never deliver a byte.
        return std::move(error).WithHint("give " + wanted + " (save the data to a file first)");
    }
    return error;
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code error;
    return std::filesystem::equivalent(PathOf(a), PathOf(b), error) && !error;
}

std::string DescribeSrecRefusal(const SrecResult& result) {
    std::string text = "record at byte " + std::to_string(result.offset);
    if (result.address != 0 || result.error != SrecError::Truncated) {
        char address[32];
        std::snprintf(address, sizeof address, " (address 0x%06X)", result.address);
        text += address;
    }
    return text + " " + SrecErrorText(result.error);
}

std::string AppNumberText(const uint8_t* file, bool& digits) {
    std::string text;
    digits = true;
    for (size_t i = 0; i < 3; ++i) {
        const uint8_t c = file[large::kFileAppNumber + i];
        digits = digits && c >= '0' && c <= '9';
        text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return text;
}

std::optional<std::string> AppNumberWarning(const std::string& path, const uint8_t* file,
                                            bool deciphered) {
    bool digits = false;
    const std::string number = AppNumberText(file, digits);
    if (digits) return std::nullopt;
    char at[32];
    std::snprintf(at, sizeof at, "0x%zX", large::kFileAppNumber);
    return "warning: the application number at " + std::string(at) + " of " + path + " reads \"" +
           number + "\", not three digits: " +
           (deciphered ? "check the key, and that the file is enciphered at all"
                       : "if the file is enciphered, give --enciphered or name it *.kor");
}

}  // namespace cordane::tools
