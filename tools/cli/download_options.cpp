#include "cli/download_options.h"

#include <strings.h>

#include <set>

#include "cordane/cordane.h"

namespace cordane::tools {

namespace {

bool ParseSmallNumber(const std::string& text, int max, int& value) {
    if (text.empty() || text.size() > 3) return false;
    int number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + (c - '0');
    }
    if (number > max) return false;
    value = number;
    return true;
}

// "A,B": two application numbers from 0 to 999.
bool ParsePrevious(const std::string& text, std::pair<int, int>& previous) {
    const size_t comma = text.find(',');
    return comma != std::string::npos &&
           ParseSmallNumber(text.substr(0, comma), kLastAppNumber, previous.first) &&
           ParseSmallNumber(text.substr(comma + 1), kLastAppNumber, previous.second);
}

}  // namespace

std::optional<std::string> ParseDownloadOptions(int argc, char** argv, DownloadOptions& options,
                                                bool& help) {
    bool positional = false;
    std::set<std::string> given;  // the options that take one value, as seen so far
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!positional && arg.rfind("--", 0) == 0) {
            const std::string name = arg.substr(0, arg.find('='));
            for (const char* once : {"--reader", "--type", "--driver", "--key-selector", "--key",
                                     "--check-app-number", "--previous", "--identity", "--log"}) {
                if (name == once && !given.insert(name).second) {
                    return name + " is given twice: give it once";
                }
            }
        }
        // "--name VALUE" or "--name=VALUE"; a missing value is reported below.
        std::string text;
        auto value = [&](const char* name) {
            return !positional && MatchOption(argc, argv, i, name, text) == OptionMatch::Value;
        };
        std::optional<std::string> problem;
        if (!positional && (arg == "--help" || arg == "-h")) {
            help = true;
            return std::nullopt;
        } else if (!positional && arg == "--") {
            positional = true;
        } else if (value("--port")) {
            // Several ports download the same files at once: --port A --port B, or --port A,B.
            for (size_t from = 0;;) {
                const size_t comma = text.find(',', from);
                const std::string name = text.substr(from, comma - from);
                if (name.empty()) {
                    return "--port \"" + text + "\" names an empty port: give PORT or A,B,C";
                }
                for (const std::string& named : options.ports) {
                    if (named == name) {
                        return "port " + name +
                               " is named twice: give each port once (one download per reader)";
                    }
                }
                options.ports.push_back(name);
                if (comma == std::string::npos) break;
                from = comma + 1;
            }
            options.port = options.ports.front();
        } else if (value("--reader")) {
            if (!ParseSmallNumber(text, kLastReaderType, options.reader)) {
                return "bad reader type \"" + text + "\": give 0 to 9 (see --help)";
            }
        } else if (value("--type")) {
            if (!ParseSmallNumber(text, kLastDownloadType, options.type)) {
                return "bad download type \"" + text + "\": give 0, 1, 2 or 3";
            }
        } else if (value("--driver")) {
            options.driver = text;
        } else if (value("--log")) {
            if (text.empty()) {
                return "--log needs a target: an SQLite file or a postgresql:// address";
            }
            options.log = text;
        } else if (value("--check-app-number")) {
            int number = 0;
            if (!ParseSmallNumber(text, kLastAppNumber, number)) {
                return "bad application number \"" + text + "\": give 0 to 999";
            }
            options.appNumber = number;
        } else if (value("--previous")) {
            std::pair<int, int> previous;
            if (!ParsePrevious(text, previous)) {
                return "bad previous application numbers \"" + text +
                       "\": give two numbers from 0 to 999 separated by a comma, e.g. 5,120";
            }
            options.previous = previous;
        } else if (value("--identity")) {
            uint64_t identity = 0;
            if (!ParseNumber(text, UINT16_MAX, identity)) {
                return "bad file identity \"" + text +
                       "\": give a 16-bit value, 0 to 65535 or 0x0000 to 0xFFFF";
            }
            options.identity = static_cast<uint32_t>(identity);
        } else if (!positional && TakeKeyOption(argc, argv, i, options.key, problem)) {
            if (problem) return problem;
        } else if (!positional && arg == "--erase-data") {
            options.eraseData = true;
        } else if (!positional && arg == "--ask") {
            options.ask = true;
        } else if (!positional && arg == "--silent") {
            options.silent = true;
        } else if (!positional && arg == "--json") {
            options.json = true;
        } else if (!positional && (arg == "--yes" || arg == "--no")) {
            const bool yes = arg == "--yes";
            if (options.answerYes && *options.answerYes != yes)
                return "give --yes or --no, not both";
            options.answerYes = yes;
        } else if (!positional && arg.size() > 1 && arg[0] == '-') {
            for (const char* name : {"--port", "--reader", "--type", "--driver",
                                     "--check-app-number", "--previous", "--identity", "--log"}) {
                if (arg == name) return arg + " needs a value";
            }
            return "unknown option " + arg;
        } else if (options.application.empty()) {
            options.application = arg;
        } else {
            return "one argument too many: " + arg;
        }
    }
    if (options.port.empty()) return "give the reader's port with --port (e.g. --port COM3)";
    const std::string& app = options.application;
    options.globalFile = app.size() > 4 && strcasecmp(app.c_str() + app.size() - 4, ".glo") == 0;
    if (options.globalFile) {
        if (given.count("--type") && options.type != static_cast<int>(KV_DOWNLOAD_BINARY)) {
            return "a global file is downloaded as a binary download of its part for the reader "
                   "(type 2): leave out --type";
        }
        options.type = static_cast<int>(KV_DOWNLOAD_BINARY);
        if (options.reader >= 0 && options.reader < KvOrb512) {
            return "a global file holds parts for the large readers only (--reader 2 to 9); "
                   "leave out --reader to have the reader detected";
        }
    } else if (options.reader < 0) {
        return "give the reader type with --reader (0 to 9, see --help)";
    }
    const bool large = options.reader >= KvOrb512 || options.globalFile;
    if (options.type == kEraseCodeType && !large) {
        return "download type 3 (erase the code only) is for the large readers (--reader 2 to "
               "9): a 64 Kb reader's code is erased by the download of its application";
    }
    if (!options.driver.empty() && options.type != static_cast<int>(KV_DOWNLOAD_NORMAL)) {
        return "--driver goes with download type 0 only: " +
               std::string(options.type == kEraseCodeType
                               ? "type 3 downloads nothing"
                               : "a binary download file (type 1 or 2) carries its own driver "
                                 "library") +
               "; leave --driver out";
    }
    if (options.application.empty() && options.type != kEraseCodeType) {
        return "give the application file to download";
    }
    if (large && options.type == static_cast<int>(KV_DOWNLOAD_NORMAL) && options.driver.empty()) {
        return "a large reader's download (--reader " + std::to_string(options.reader) +
               ", type 0) needs the driver library as well: give it with --driver FILE";
    }
    if (options.application.size() >= KV_PATH_SIZE || options.driver.size() >= KV_PATH_SIZE) {
        return "file paths may be at most 255 characters long: move the file or give a shorter "
               "(relative) path";
    }
    if (options.appNumber.has_value() != options.previous.has_value()) {
        return options.appNumber ? "--check-app-number needs --previous A,B: the two previous "
                                   "application numbers the reader judges the change by"
                                 : "--previous goes with --check-app-number N";
    }
    return CheckKeyChoice(options.key);
}

}  // namespace cordane::tools
