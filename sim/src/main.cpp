// korvel-sim: a card reader on a pseudo-terminal, for downloading without hardware.
#include <cstdio>
#include <exception>
#include <string_view>
#include <utility>
#include <vector>

#include "base/interrupts.h"
#include "sim/reader_layout.h"
#include "sim/sim_options.h"
#include "sim_server.h"

int main(int argc, char** argv) {
    using namespace korvel;
    using namespace korvel::sim;
    try {
        const std::vector<std::string_view> args(argv + 1, argv + argc);
        base::Expected<ParsedOptions> parsed = ParseOptions(args);
        if (!parsed) {
            std::fprintf(stderr, "korvel-sim: %s\n", parsed.error().message.c_str());
            return parsed.error().code;
        }
        if (parsed->help) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        // SIGINT, SIGTERM and SIGHUP arrive as data, before any thread starts, so that the loops
        // handle them in turn. They are taken for the program's whole life and never given back:
        // one that arrives while the emulator writes its dump and ends is not acted on either.
        // Nor does a host gone from a pipe end it.
        base::Expected<base::Interrupts> caught = base::Interrupts::Catch();
        if (!caught) {
            const base::Error& error = caught.error();
            std::fprintf(stderr, "korvel-sim: cannot receive the stop signals: %s\n",
                         (error.detail.empty() ? error.message : error.detail).c_str());
            return kExitSetup;
        }
        static base::Interrupts* const interrupts = new base::Interrupts(std::move(*caught));
        static base::BrokenPipesIgnored* const brokenPipes = new base::BrokenPipesIgnored;
        (void)brokenPipes;

        if (!parsed->station.empty()) return RunStation(std::move(parsed->station), *interrupts);
        const ReaderLayout& layout = *FindLayout(parsed->options->reader);
        SimServer server(std::move(*parsed->options), layout);
        return server.Run(*interrupts);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "korvel-sim: stopped: %s\n", failure.what());
    } catch (...) {
        std::fprintf(stderr, "korvel-sim: stopped by an unknown failure\n");
    }
    return kExitSetup;
}
