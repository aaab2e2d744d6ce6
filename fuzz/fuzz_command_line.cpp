// Fuzz target for the command lines: those of "cordane download", "cordane log" and korvel-sim (a
// single reader or a line of them). The input is a list of arguments separated by NUL bytes; each
// parser must answer options or a usage message, never crash, and stay within what it promises
// (valid reader types, numbers in range).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cli/download_options.h"
#include "cli/log_options.h"
#include "cordane/cordane.h"
#include "cordane/readers.h"
#include "sim/sim_options.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kMostArguments = 24;
    std::vector<std::string> arguments{"download"};
    std::string current;
    for (size_t i = 0; i < size && arguments.size() < kMostArguments; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty()) arguments.push_back(current);

    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(arguments.size());
    const auto parsed = cordane::tools::ParseDownloadOptions(argc, argv.data());
    if (parsed && !parsed->help) {
        const cordane::tools::DownloadOptions& options = *parsed;
        Require(options.reader >= -1 && options.reader <= cordane::kLastReaderType);
        Require(options.reader >= 0 || options.globalFile);
        Require(options.type >= 0 && options.type <= static_cast<int>(KV_DOWNLOAD_ERASE_CODE));
        Require(!options.port.empty());
        Require(options.application.size() < 256 && options.driver.size() < 256);
        if (options.appNumber) Require(*options.appNumber <= cordane::tools::kLastAppNumber);
        if (options.identity) Require(*options.identity <= 0xFFFF);
        // Only combinations a reader can take: type 3 on the large readers, a driver library with
        // type 0 only, and always with a large reader's type 0.
        const bool large = options.reader >= 2 || options.globalFile;
        if (options.type == static_cast<int>(KV_DOWNLOAD_ERASE_CODE)) Require(large);
        if (!options.driver.empty()) Require(options.type == 0);
        if (large && options.type == 0) Require(!options.driver.empty());
        // What each port's own download gets, when several ports download at once, is taken the
        // same way, on its one port.
        std::vector<std::string> port = {"download", "--port", options.ports.back(), "--json"};
        for (std::string& argument : cordane::tools::PortDownloadArguments(argc, argv.data())) {
            port.push_back(std::move(argument));
        }
        std::vector<char*> portArgv;
        for (std::string& argument : port) portArgv.push_back(argument.data());
        portArgv.push_back(nullptr);
        const auto again =
            cordane::tools::ParseDownloadOptions(static_cast<int>(port.size()), portArgv.data());
        Require(again && again->ports.size() == 1 && again->json);
        Require(again->reader == options.reader && again->type == options.type);
        Require(again->application == options.application && again->driver == options.driver);
        Require(again->log == options.log && again->identity == options.identity);
    }

    // The same arguments as "cordane log": a --since taken is a whole UTC time or a span back.
    const auto logOptions = cordane::tools::ParseLogOptions(argc, argv.data());
    if (logOptions && !logOptions->help && logOptions->since) {
        Require(logOptions->since->utc.empty() ? logOptions->since->secondsAgo >= 0
                                               : logOptions->since->utc.size() == 24);
    }

    std::vector<std::string_view> simArguments(arguments.begin() + 1, arguments.end());
    const korvel::base::Expected<korvel::sim::ParsedOptions> parsedSim =
        korvel::sim::ParseOptions(simArguments);
    if (!parsedSim) {
        Require(!parsedSim.error().message.empty());
        Require(parsedSim.error().code == korvel::sim::kExitSetup);
        return 0;
    }
    const korvel::sim::ParsedOptions& sim = *parsedSim;
    if (sim.options && sim.options->identity) {
        Require(sim.options->identity->first.size() <= 2);
        Require(sim.options->identity->second.size() <= korvel::sim::kMaxSecondRead);
    }
    Require(sim.options || sim.help || !sim.station.empty());
    // A line of readers: within its bound, every reader of a valid type on a port of its own.
    Require(sim.station.size() <= korvel::sim::kMaxStation);
    Require(sim.station.empty() || !sim.options);
    if (sim.options) Require(sim.options->latencyMs <= korvel::sim::kMaxLatencyMs);
    for (size_t i = 0; i < sim.station.size(); ++i) {
        Require(sim.station[i].reader >= 0 && sim.station[i].reader <= 9);
        Require(sim.station[i].latencyMs <= korvel::sim::kMaxLatencyMs);
        if (i > 0) Require(sim.station[i].port == sim.station[i - 1].port + 1);
    }
    return 0;
}
