#include "brenmark/command_line.h"

#include <string_view>

#include "base/text.h"
#include "zr318/ports.h"

namespace brenmark {
namespace {

constexpr const char kSerialPortKey[] = "SerialPort=";
constexpr const char kSerialVirtualPortKey[] = "SerialVirtualPort=";
constexpr const char kKitKey[] = "|PATHMKI=";
constexpr const char kAutomaticKey[] = "|COM=0";
constexpr const char kInteractiveKey[] = "|COM=1";

bool StartsWithNoCase(const std::string& text, const char* key, size_t size) {
    return text.size() >= size &&
           korvel::base::EqualIgnoringCase(std::string_view(text).substr(0, size),
                                           std::string_view(key, size));
}

// A serial port key fills the whole line: the key and 1 to 3 digits. Returns false when the line
// does not start with the key; otherwise the key is recognised, and *number is set only when what
// follows is 1 to 3 decimal digits.
bool ReadPortKey(const std::string& line, const char* key, size_t keySize, uint32_t* number,
                 bool* valid) {
    *valid = false;
    if (!StartsWithNoCase(line, key, keySize) || line.size() <= keySize) return false;
    const std::string digits = line.substr(keySize);
    if (digits.size() > 3) return true;
    uint32_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return true;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    *number = value;
    *valid = true;
    return true;
}

}  // namespace

std::string JoinArguments(int argc, const char* const* argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    return line;
}

std::string ArgumentsOfCommandLine(const std::string& line) {
    // Blanks, as the system's start-up code counts them: a space and every control character.
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    size_t at = 0;
    if (!line.empty() && line[0] == '"') {
        // A quoted name ends with its closing quote; one never closed takes the whole line.
        const size_t close = line.find('"', 1);
        at = close == std::string::npos ? line.size() : close + 1;
    } else {
        while (at < line.size() && !blank(line[at])) ++at;
    }
    while (at < line.size() && blank(line[at])) ++at;
    return line.substr(at);
}

CommandLine ParseCommandLine(const std::string& line) {
    CommandLine result;
    uint32_t number = 0;
    bool valid = false;
    if (ReadPortKey(line, kSerialPortKey, sizeof kSerialPortKey - 1, &number, &valid)) {
        if (valid) {
            result.serialPort = number;
        } else {
            result.warnings.push_back("\"" + line +
                                      "\": SerialPort= takes 1 to 3 digits and nothing else on the "
                                      "command line; no port fixed");
        }
    } else if (ReadPortKey(line, kSerialVirtualPortKey, sizeof kSerialVirtualPortKey - 1, &number,
                           &valid)) {
        // The key names the virtual reader port of that number (KORVELnn), not COM n.
        if (valid) {
            result.serialPort = korvel::ports::kVirtualBit | (number & korvel::ports::kNumberMask);
        } else {
            result.warnings.push_back(
                "\"" + line +
                "\": SerialVirtualPort= takes 1 to 3 digits and nothing else on the command line; "
                "no port fixed");
        }
    }

    const size_t key = line.find(kKitKey);
    if (key != std::string::npos) {
        const size_t open = line.find('"', key + sizeof kKitKey - 1);
        const size_t close = open == std::string::npos ? open : line.find('"', open + 1);
        if (close == std::string::npos) {
            result.warnings.push_back(
                "|PATHMKI= needs its directory in double quotes (|PATHMKI=\"/path/to/kit/\"); "
                "kit directory ignored");
        } else if (close - open - 1 > kMaxKitDirectory) {
            result.warnings.push_back("|PATHMKI= directory of " + std::to_string(close - open - 1) +
                                      " characters is longer than " +
                                      std::to_string(kMaxKitDirectory) +
                                      "; kit directory ignored: use a shorter path");
        } else {
            result.kitDirectory = line.substr(open + 1, close - open - 1);
        }
    }

    if (line.find(kAutomaticKey) != std::string::npos) result.runMode = kRunAutomatic;
    if (line.find(kInteractiveKey) != std::string::npos) result.runMode = kRunInteractive;
    return result;
}

bool HasDisplay(const std::string& platform, const std::string& display,
                const std::string& waylandDisplay) {
    // A platform may carry its arguments after a colon ("offscreen:fontengine=freetype").
    const std::string name = platform.substr(0, platform.find(':'));
    if (name == "offscreen" || name == "minimal") return false;
    if (!name.empty()) return true;
    return !display.empty() || !waylandDisplay.empty();
}

}  // namespace brenmark
