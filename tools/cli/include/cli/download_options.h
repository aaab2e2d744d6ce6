// The command line of "cordane download".
#ifndef CORDANE_TOOLS_DOWNLOAD_OPTIONS_H
#define CORDANE_TOOLS_DOWNLOAD_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cordane/readers.h"  // kLastReaderType
#include "cli/tool_support.h"

namespace cordane::tools {

inline constexpr int kLastDownloadType = 3;
inline constexpr int kLastAppNumber = 999;  // application numbers have three digits
inline constexpr int kEraseCodeType = 3;    // erase only: no application file

struct DownloadOptions {
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
    // A Binary Global File given as the application (its name ends in ".glo", in any case): it
    // is downloaded as a binary download (type 2) of the part extracted for the reader, which
    // is detected when --reader is left out.
    bool globalFile = false;
};

// Parses the arguments (argv[0] is the subcommand's name) into options; on a mistake, the
// message of a usage error. --help sets `help` and stops.
std::optional<std::string> ParseDownloadOptions(int argc, char** argv, DownloadOptions& options,
                                                bool& help);

}  // namespace cordane::tools

#endif
