// Port discovery: the 355 candidates (COM1 to COM256, virtual reader ports 0 to 98) probed the way
// the dialog fills its port list, with a ports directory holding three pseudo-terminals.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "zr318/ports.h"

namespace {

struct PortsDirectory {
    PortsDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "korvel-ports-XXXXXX");
        if (mkdtemp(pattern.data())) path = pattern;
        const char* entries[] = {"COM3", "COM12", "Korvel_reader_07"};
        for (const char* entry : entries) {
            const int master = posix_openpt(O_RDWR | O_NOCTTY);
            if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) continue;
            masters.push_back(master);
            std::filesystem::create_symlink(ptsname(master), path + "/" + entry);
        }
        setenv("KORVEL_PORTS_DIR", path.c_str(), 1);
    }
    ~PortsDirectory() {
        for (int master : masters) close(master);
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
    std::vector<int> masters;
};

void BM_ListOpenablePorts(benchmark::State& state) {
    PortsDirectory dir;
    size_t found = 0;
    for (auto _ : state) {
        const auto ports = korvel::ports::ListOpenablePorts();
        found = ports.size();
        benchmark::DoNotOptimize(ports.data());
    }
    state.counters["ports_found"] = static_cast<double>(found);
    state.counters["candidates"] = 355;
}
BENCHMARK(BM_ListOpenablePorts)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
