#include "cli/download_options.h"

#include <set>

#include "base/text.h"
#include "cli/arguments.h"
#include "cordane/cordane.h"
#include "cordane/readers.h"

namespace cordane::tools {

namespace {

using korvel::base::Expected;

constexpr DownloadOptionFacts kOptions[] = {
    {DownloadOption::Port, "--port", true, false, false, nullptr, false, "--port PORT",
     "COM1..COM256, KORVEL00..KORVEL98, or a device path such as\n"
     "/dev/ttyUSB0 (\"cordane ports\" lists the ports that can be opened).\n"
     "Several ports (--port A --port B, or --port A,B) download the same\n"
     "files to every reader at once (below)"},
    {DownloadOption::Reader, "--reader", true, true, true, nullptr, false, "--reader N",
     "reader type: 0 KvTal (64 Kb), 1 KvOrb (64 Kb), 2 KvOrb (512Kb),\n"
     "3 KvTal (512 Kb), 4 KvQuin3, 5 KvOrb1Mb, 6 KvTal (1Mb), 7 KvTalModem,\n"
     "8 and 9 the readers found by detection"},
    {DownloadOption::Type, "--type", true, true, true, nullptr, false, "--type T",
     "0 normal download (default), 1 automatic binary loading, 2 binary\n"
     "loading, 3 erase the code only (large readers; no APPFILE needed)"},
    {DownloadOption::Driver, "--driver", true, true, true, nullptr, false, "--driver FILE",
     "the driver library: needed by the large readers' type 0, and taken\n"
     "there only"},
    {DownloadOption::EraseData, "--erase-data", false, false, true, nullptr, false, "--erase-data",
     "erase the reader's data flash as well (large readers)"},
    {DownloadOption::Ask, "--ask", false, false, true, nullptr, false, "--ask",
     "ask before erasing the data flash (answered by --yes or --no)"},
    {DownloadOption::Silent, "--silent", false, false, true, nullptr, false, "--silent",
     "the engine shows no error messages; the exit code tells the outcome"},
    {DownloadOption::Json, "--json", false, false, false, nullptr, false, "--json",
     "one JSON object per event on standard output (below)"},
    {DownloadOption::Yes, "--yes", false, false, true, nullptr, false, "--yes, --no",
     "the answer to the engine's questions (default --no)"},
    {DownloadOption::No, "--no", false, false, true, nullptr, false, nullptr, nullptr},
    {DownloadOption::Log, "--log", true, true, true, nullptr, false, "--log TARGET",
     "append a row for the job to the job log TARGET: an SQLite file (one\n"
     "station), or a postgresql:// address or libpq's key=value words (a\n"
     "line); default: the environment variable KORVEL_LOG. \"cordane log\"\n"
     "lists the jobs. A row that cannot be written is reported and leaves\n"
     "the exit code as it is"},
    {DownloadOption::KeySelector, "--key-selector", true, true, true, kKeySelectorMissing, true,
     "--key-selector N",
     "the base key that deciphers APPFILE: 0 base key A (default), 1 base\n"
     "key B, or the selector under which --key registers its key"},
    {DownloadOption::Key, "--key", true, true, true, kKeyMissing, true, "--key HEX16",
     "an 8-byte base key as 16 hexadecimal digits, registered for this job\n"
     "under --key-selector N (2 or more) or a selector of this program's own"},
    {DownloadOption::Identity, "--identity", true, true, true, nullptr, true, "--identity X",
     "check the file's 16-bit identity (at offset 0xA042) before anything is\n"
     "erased: X in decimal or 0x hexadecimal; another identity ends the\n"
     "download with exit code 1"},
    {DownloadOption::CheckAppNumber, "--check-app-number", true, true, true, nullptr, true,
     "--check-app-number N --previous A,B",
     "check that the file's application number (offset 0xA013) is N, then\n"
     "let the reader judge the change from its previous numbers A and B;\n"
     "N, A and B are 0 to 999. A wrong number ends the download with exit\n"
     "code 4, a refusal by the reader with the reader's error code"},
    {DownloadOption::Previous, "--previous", true, true, true, nullptr, true, nullptr, nullptr},
};

// The option named exactly `name`, if any.
const DownloadOptionFacts* Find(std::string_view name) {
    for (const DownloadOptionFacts& facts : kOptions) {
        if (name == facts.name) return &facts;
    }
    return nullptr;
}

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

// Takes one option of the table, with its value when it takes one.
Expected<void> Take(DownloadOption option, const std::string& text, DownloadOptions& options) {
    switch (option) {
        case DownloadOption::Port:
            // Several ports download the same files at once: --port A --port B, or --port A,B.
            for (size_t from = 0;;) {
                const size_t comma = text.find(',', from);
                const std::string name = text.substr(from, comma - from);
                if (name.empty()) {
                    return UsageError("--port \"" + text +
                                      "\" names an empty port: give PORT or A,B,C");
                }
                for (const std::string& named : options.ports) {
                    if (named == name) {
                        return UsageError("port " + name +
                                          " is named twice: give each port once (one download "
                                          "per reader)");
                    }
                }
                options.ports.push_back(name);
                if (comma == std::string::npos) break;
                from = comma + 1;
            }
            options.port = options.ports.front();
            return {};
        case DownloadOption::Reader:
            if (!ParseSmallNumber(text, kLastReaderType, options.reader)) {
                return UsageError("bad reader type \"" + text + "\": give 0 to 9 (see --help)");
            }
            return {};
        case DownloadOption::Type:
            if (!ParseSmallNumber(text, static_cast<int>(KV_DOWNLOAD_ERASE_CODE), options.type)) {
                return UsageError("bad download type \"" + text + "\": give 0, 1, 2 or 3");
            }
            return {};
        case DownloadOption::Driver:
            options.driver = text;
            return {};
        case DownloadOption::EraseData:
            options.eraseData = true;
            return {};
        case DownloadOption::Ask:
            options.ask = true;
            return {};
        case DownloadOption::Silent:
            options.silent = true;
            return {};
        case DownloadOption::Json:
            options.json = true;
            return {};
        case DownloadOption::Yes:
        case DownloadOption::No: {
            const bool yes = option == DownloadOption::Yes;
            if (options.answerYes && *options.answerYes != yes) {
                return UsageError("give --yes or --no, not both");
            }
            options.answerYes = yes;
            return {};
        }
        case DownloadOption::Log:
            if (text.empty()) {
                return UsageError(
                    "--log needs a target: an SQLite file or a postgresql:// address");
            }
            options.log = text;
            return {};
        case DownloadOption::KeySelector: {
            KORVEL_ASSIGN_OR_RETURN(options.key.selector, ParseKeySelector(text));
            return {};
        }
        case DownloadOption::Key: {
            KORVEL_ASSIGN_OR_RETURN(options.key.key, ParseKeyText(text));
            return {};
        }
        case DownloadOption::Identity: {
            uint64_t identity = 0;
            if (!ParseNumber(text, UINT16_MAX, identity)) {
                return UsageError("bad file identity \"" + text +
                                  "\": give a 16-bit value, 0 to 65535 or 0x0000 to 0xFFFF");
            }
            options.identity = static_cast<uint32_t>(identity);
            return {};
        }
        case DownloadOption::CheckAppNumber: {
            int number = 0;
            if (!ParseSmallNumber(text, kLastAppNumber, number)) {
                return UsageError("bad application number \"" + text + "\": give 0 to 999");
            }
            options.appNumber = number;
            return {};
        }
        case DownloadOption::Previous: {
            std::pair<int, int> previous;
            if (!ParsePrevious(text, previous)) {
                return UsageError("bad previous application numbers \"" + text +
                                  "\": give two numbers from 0 to 999 separated by a comma, e.g. "
                                  "5,120");
            }
            options.previous = previous;
            return {};
        }
    }
    return {};
}

// What the options taken together must make: a download that can run.
Expected<void> CheckTogether(DownloadOptions& options, bool typeGiven) {
    if (options.port.empty())
        return UsageError("give the reader's port with --port (e.g. --port COM3)");
    options.globalFile = IsGlobalFileName(options.application);
    if (options.globalFile) {
        if (typeGiven && options.type != static_cast<int>(KV_DOWNLOAD_BINARY)) {
            return UsageError(
                "a global file is downloaded as a binary download of its part for the reader "
                "(type 2): leave out --type");
        }
        options.type = static_cast<int>(KV_DOWNLOAD_BINARY);
        if (options.reader >= 0 && options.reader < KvOrb512) {
            return UsageError(
                "a global file holds parts for the large readers only (--reader 2 to 9); "
                "leave out --reader to have the reader detected");
        }
    } else if (options.reader < 0) {
        return UsageError("give the reader type with --reader (0 to 9, see --help)");
    }
    const bool large = options.reader >= KvOrb512 || options.globalFile;
    const auto eraseOnly = static_cast<int>(KV_DOWNLOAD_ERASE_CODE);
    if (options.type == eraseOnly && !large) {
        return UsageError(
            "download type 3 (erase the code only) is for the large readers (--reader 2 to 9): a "
            "64 Kb reader's code is erased by the download of its application");
    }
    if (!options.driver.empty() && options.type != static_cast<int>(KV_DOWNLOAD_NORMAL)) {
        return UsageError("--driver goes with download type 0 only: " +
                          std::string(options.type == eraseOnly
                                          ? "type 3 downloads nothing"
                                          : "a binary download file (type 1 or 2) carries its "
                                            "own driver library") +
                          "; leave --driver out");
    }
    if (options.application.empty() && options.type != eraseOnly) {
        return UsageError("give the application file to download");
    }
    if (large && options.type == static_cast<int>(KV_DOWNLOAD_NORMAL) && options.driver.empty()) {
        return UsageError("a large reader's download (--reader " + std::to_string(options.reader) +
                          ", type 0) needs the driver library as well: give it with --driver "
                          "FILE");
    }
    if (options.application.size() >= KV_PATH_SIZE || options.driver.size() >= KV_PATH_SIZE) {
        return UsageError(
            "file paths may be at most 255 characters long: move the file or give a shorter "
            "(relative) path");
    }
    if (options.appNumber.has_value() != options.previous.has_value()) {
        return UsageError(options.appNumber
                              ? "--check-app-number needs --previous A,B: the two previous "
                                "application numbers the reader judges the change by"
                              : "--previous goes with --check-app-number N");
    }
    return CheckKeyChoice(options.key);
}

}  // namespace

std::span<const DownloadOptionFacts> DownloadOptionTable() {
    return kOptions;
}

Expected<DownloadOptions> ParseDownloadOptions(int argc, char** argv) {
    DownloadOptions options;
    bool positional = false;
    std::set<DownloadOption> given;  // the options that may be given once, as seen so far
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!positional && arg.rfind("--", 0) == 0) {
            const std::string name = arg.substr(0, arg.find('='));
            const DownloadOptionFacts* facts = Find(name);
            if (facts != nullptr && facts->once && !given.insert(facts->option).second) {
                return UsageError(name + " is given twice: give it once");
            }
        }
        if (!positional && IsHelpOption(arg)) {
            options.help = true;
            return options;
        }
        if (!positional && arg == "--") {
            positional = true;
            continue;
        }
        if (!positional && arg.size() > 1 && arg[0] == '-') {
            // "--name VALUE", "--name=VALUE" or a flag.
            const DownloadOptionFacts* taken = nullptr;
            std::string text;
            for (const DownloadOptionFacts& facts : kOptions) {
                if (!facts.takesValue) {
                    if (arg != facts.name) continue;
                } else {
                    const OptionMatch match = MatchOption(argc, argv, i, facts.name, text);
                    if (match == OptionMatch::No) continue;
                    if (match == OptionMatch::Missing) {
                        return UsageError(facts.missing != nullptr ? facts.missing
                                                                   : arg + " needs a value");
                    }
                }
                taken = &facts;
                break;
            }
            if (taken == nullptr) return UsageError("unknown option " + arg);
            KORVEL_TRY(Take(taken->option, text, options));
        } else if (options.application.empty()) {
            options.application = arg;
        } else {
            return UsageError("one argument too many: " + arg);
        }
    }
    KORVEL_TRY(CheckTogether(options, given.count(DownloadOption::Type) > 0));
    return options;
}

std::vector<std::string> PortDownloadArguments(int argc, char** argv) {
    std::vector<std::string> kept;
    bool positional = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (positional) {
            kept.push_back(arg);
            continue;
        }
        if (arg == "--") {
            positional = true;
            kept.push_back(arg);
            continue;
        }
        // An option's value is taken along as it is, whatever it looks like.
        const DownloadOptionFacts* exact = Find(arg);
        const size_t equals = arg.find('=');
        const DownloadOptionFacts* joined =
            exact == nullptr && equals != std::string::npos ? Find(arg.substr(0, equals)) : nullptr;
        if (const DownloadOptionFacts* facts = exact != nullptr ? exact : joined;
            facts != nullptr && !facts->forEachPort) {
            if (exact != nullptr && exact->takesValue) ++i;
            continue;
        }
        kept.push_back(arg);
        if (exact != nullptr && exact->takesValue && i + 1 < argc) kept.push_back(argv[++i]);
    }
    return kept;
}

std::string DownloadOptionsHelp(bool checks) {
    constexpr size_t kTermColumns = 18;  // the description starts in column 21
    const std::string indent(2 + kTermColumns, ' ');
    std::string text;
    for (const DownloadOptionFacts& facts : kOptions) {
        if (facts.checks != checks || facts.term == nullptr) continue;
        const std::string term = facts.term;
        text += "  " + term;
        if (term.size() < kTermColumns) {
            text.append(kTermColumns - term.size(), ' ');
        } else {
            text += "\n" + indent;
        }
        for (const char* c = facts.help; *c != '\0'; ++c) {
            text += *c;
            if (*c == '\n') text += indent;
        }
        text += '\n';
    }
    return text;
}

bool IsGlobalFileName(std::string_view path) {
    constexpr std::string_view kExtension = ".glo";
    return path.size() > kExtension.size() &&
           korvel::base::EqualIgnoringCase(path.substr(path.size() - kExtension.size()),
                                           kExtension);
}

std::string ReaderNameOf(int reader) {
    if (reader < 0 || reader > kLastReaderType) return "reader";
    return ReaderName(static_cast<eReaderType>(reader));
}

std::string ReaderTypeText(int reader) {
    return std::to_string(reader) + " " + ReaderNameOf(reader);
}

}  // namespace cordane::tools
