// korvel-sim: a card reader on a pseudo-terminal, for downloading without hardware.
#include <cstdio>
#include <exception>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/reader_layout.h"
#include "sim/sim_options.h"
#include "sim_server.h"

int main(int argc, char** argv) {
    using namespace korvel::sim;
    try {
        const std::vector<std::string_view> args(argv + 1, argv + argc);
        ParsedOptions parsed = ParseOptions(args);
        if (parsed.help) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!parsed.line.empty()) return RunLine(std::move(parsed.line));
        if (!parsed.options) {
            std::fprintf(stderr, "korvel-sim: %s\n", parsed.error.c_str());
            return kExitSetup;
        }
        const ReaderLayout& layout = *FindLayout(parsed.options->reader);
        SimServer server(std::move(*parsed.options), layout);
        return server.Run();
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "korvel-sim: stopped: %s\n", failure.what());
    } catch (...) {
        std::fprintf(stderr, "korvel-sim: stopped by an unknown failure\n");
    }
    return kExitSetup;
}
