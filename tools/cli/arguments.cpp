#include "cli/arguments.h"

#include <cstdio>
#include <string>

#include "base/hex.h"
#include "cordane/exit_codes.h"

namespace cordane::tools {

OptionMatch MatchOption(int argc, char** argv, int& i, std::string_view name, std::string& value) {
    const std::string_view arg = argv[i];
    if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
        value = arg.substr(name.size() + 1);
        return OptionMatch::Value;
    }
    if (arg != name) return OptionMatch::No;
    if (i + 1 >= argc) return OptionMatch::Missing;
    value = argv[++i];
    return OptionMatch::Value;
}

bool ParseNumber(std::string_view text, uint64_t max, uint64_t& value) {
    int base = 10;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    uint64_t number = 0;
    for (const char c : text) {
        const int digit =
            base == 16 ? korvel::base::HexDigitValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (digit < 0) return false;
        const auto d = static_cast<uint64_t>(digit);
        if (d > max || number > (max - d) / static_cast<uint64_t>(base)) {
            return false;  // beyond max, and perhaps beyond 64 bits
        }
        number = number * static_cast<uint64_t>(base) + d;
    }
    value = number;
    return true;
}

bool IsHelpOption(std::string_view arg) {
    return arg == "--help" || arg == "-h";
}

bool TakeOptionsEnd(std::string_view arg, bool& options) {
    if (!options || arg != "--") return false;
    options = false;
    return true;
}

korvel::base::Expected<void> TakeOperand(const char* arg, bool options,
                                         std::initializer_list<const char**> operands) {
    if (options && arg[0] == '-' && arg[1] != '\0') {
        return UsageError("unknown option " + std::string(arg));
    }
    for (const char** operand : operands) {
        if (*operand == nullptr) {
            *operand = arg;
            return {};
        }
    }
    return UsageError("one argument too many: " + std::string(arg));
}

int PrintHelp(const char* help) {
    std::fputs(help, stdout);
    return kExitOk;
}

korvel::base::Error UsageError(std::string message) {
    return korvel::base::Error(kExitUsage, std::move(message));
}

int ReportUsage(std::string_view command, std::string_view problem, std::string_view synopsis) {
    std::string text = "cordane ";
    text.append(command).append(": ").append(problem).append("\n");
    if (!synopsis.empty()) {
        text.append("usage: cordane ").append(command).append(" ").append(synopsis).append(" ");
    }
    text.append("(\"cordane ").append(command).append(" --help\" tells more)\n");
    std::fputs(text.c_str(), stderr);
    return kExitUsage;
}

std::string ErrorLine(const korvel::base::Error& error) {
    return error.hint.empty() ? error.message : error.message + "; " + error.hint;
}

int ReportError(std::string_view command, const korvel::base::Error& error) {
    std::fprintf(stderr, "cordane %.*s: %s\n", static_cast<int>(command.size()), command.data(),
                 ErrorLine(error).c_str());
    return error.code;
}

}  // namespace cordane::tools
