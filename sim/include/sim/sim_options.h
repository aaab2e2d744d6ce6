// The emulator's command line.
#ifndef KORVEL_SIM_OPTIONS_H
#define KORVEL_SIM_OPTIONS_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "sim/light_loader.h"
#include "sim/loader_routines.h"
#include "sim/reader_model.h"

namespace korvel::sim {

struct SimOptions {
    int reader = -1;
    LoaderKind loader = LoaderKind::Raw;  // which loader answers a 64 Kb reset
    uint32_t port = 0;                    // port identifier: COM n, or 0x80000000 + n
    std::string portsDir;                 // empty: the default ports directory
    std::string dumpPath;
    std::string dataDumpPath;  // large readers: the data flash goes here
    std::string transcriptPath;
    bool once = false;
    FaultPlan faults;
    uint32_t delayMs = 0;    // added before every loader answer
    uint32_t baud = 0;       // 0: no pacing
    uint32_t latencyMs = 0;  // answers held to the next tick of this period; 0: none
    AppNumber appNumber;     // large readers: the application number the reader holds
    std::optional<IdentityBytes> identity;  // --id-bytes; nothing: the reader type's own
    uint32_t failOpens = 0;                 // resets refused before the first one taken
};

// Exit codes of korvel-sim.
inline constexpr int kExitSigned = 0;    // --once: the flash holds a signed image; or stopped
inline constexpr int kExitUnsigned = 1;  // --once: no signed image
inline constexpr int kExitSetup = 2;     // bad command line, or the port/entry cannot be set up
inline constexpr int kExitNoDump = 3;    // the dump could not be written when the emulator ended

struct ParsedOptions {
    std::optional<SimOptions> options;  // one reader: set unless --help or --line
    // --line N: the station's N readers, served by one process, in port order (options unset).
    std::vector<SimOptions> station;
    bool help = false;
};

// The most readers one station (--line) serves.
inline constexpr uint32_t kMaxStation = 64;
// The longest --latency: the longest latency timer USB serial adapters take, in ms.
inline constexpr uint32_t kMaxLatencyMs = 255;

// Parses the arguments that follow the program name. A command line refused is an error of code
// kExitSetup whose message says what is wrong, naming the option.
base::Expected<ParsedOptions> ParseOptions(std::span<const std::string_view> args);

// The --help text.
extern const char* const kUsage;

}  // namespace korvel::sim

#endif
