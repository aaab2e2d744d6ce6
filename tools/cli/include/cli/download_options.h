// The command line of "cordane download", from one table of its options: the parsing, the
// command line each port's own download gets when several ports download at once, and the
// options' part of --help are all made from it.
#ifndef CORDANE_TOOLS_CLI_DOWNLOAD_OPTIONS_H
#define CORDANE_TOOLS_CLI_DOWNLOAD_OPTIONS_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "cli/key_options.h"
#include "cordane/cordane.h"  // KV_DOWNLOAD_*: the download types

namespace cordane::tools {

inline constexpr int kLastAppNumber = 999;  // application numbers have three digits

struct DownloadOptions {
    bool help = false;               // --help: nothing else was looked at
    std::string port;                // the first port named
    std::vector<std::string> ports;  // every port, in the order given (--port A --port B, A,B)
    int reader = -1;
    int type = 0;
    std::string driver;
    std::string application;
    bool eraseData = false;
    bool ask = false;
    bool silent = false;
    bool json = false;
    std::optional<bool> answerYes;
    std::string log;  // --log: the job log's target (an SQLite file or a postgresql:// address)
    // The parameter block's checks and key: download type 1 on the large readers only.
    KeyChoice key;
    std::optional<int> appNumber;                 // --check-app-number
    std::optional<std::pair<int, int>> previous;  // --previous A,B
    std::optional<uint32_t> identity;             // --identity
    // A Binary Global File given as the application (IsGlobalFileName): it is downloaded as a
    // binary download (type 2) of the part extracted for the reader, which is detected when
    // --reader is left out.
    bool globalFile = false;
};

// The options of "cordane download", in the order --help describes them.
enum class DownloadOption : uint8_t {
    Port,
    Reader,
    Type,
    Driver,
    EraseData,
    Ask,
    Silent,
    Json,
    Yes,
    No,
    Log,
    KeySelector,
    Key,
    Identity,
    CheckAppNumber,
    Previous,
};

struct DownloadOptionFacts {
    DownloadOption option;
    const char* name;     // "--reader"
    bool takesValue;      // "--reader N" or "--reader=N"; a flag otherwise
    bool once;            // refused when given twice
    bool forEachPort;     // passed on as given to each port's own download (not --port, --json)
    const char* missing;  // said when its value is missing; null: "--reader needs a value"
    bool checks;          // one of the checks and the key of an enciphered image
    const char* term;     // the left column of --help; null: described with the option before
    const char* help;     // the description, one line of --help per '\n'
};

// Every option, once.
std::span<const DownloadOptionFacts> DownloadOptionTable();

// Parses the arguments (argv[0] is the subcommand's name) into options; a usage error
// (kExitUsage) says what is wrong. --help sets `help` and stops.
korvel::base::Expected<DownloadOptions> ParseDownloadOptions(int argc, char** argv);

// The arguments each port's own download takes when several ports download at once: the command
// line (argv[0] "download") without its ports and --json, which each one gets its own way.
std::vector<std::string> PortDownloadArguments(int argc, char** argv);

// The options' part of --help: the options (`checks` false) or the checks and key of an
// enciphered image (true), one term and its description a line, as the table has them.
std::string DownloadOptionsHelp(bool checks);

// Whether the file `path` names is taken for a Binary Global File: its name ends in ".glo", in
// any case ("APP.GLO"), after at least one character. (The program's file dialog has its own
// rule: a name that ends in "glo".)
bool IsGlobalFileName(std::string_view path);

// The name of reader type `reader` in the reader table; "reader" when none is known (-1).
std::string ReaderNameOf(int reader);

// The reader type's number and name: "2 KvOrb (512Kb)".
std::string ReaderTypeText(int reader);

}  // namespace cordane::tools

#endif
