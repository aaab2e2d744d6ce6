// Global file extraction of a file of nearly 4 MiB: common parts in every common slot and the
// largest reader-specific part for four reader types, extracted for one of them. In memory
// (every component's CRC, the layout and the image's CRC) and whole (read, extract, write the
// "bin" file atomically).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cordane/cordane.h"
#include "kit/global_file.h"

namespace {

std::vector<uint8_t> Data(size_t n, uint8_t seed) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 9));
    return out;
}

std::vector<uint8_t> FourMiBFile() {
    using korvel::kit::GloComponentSpec;
    std::vector<GloComponentSpec> parts{
        {1, std::nullopt, 0x4300, "BOOT.SRE", Data(0x420, 1), {}},
        {1, std::nullopt, 0xE000, "TABLES.SRE", Data(0x1000, 2), {}},
        {1, std::nullopt, 0x10000, "APPLI.SRE", Data(0x70000, 3), {}},
        {1, std::nullopt, 0x100000, "UPPER.SRE", Data(0x80000, 4), {}},
        {2, 0x58, 0x4720, "DRV5.SRE", Data(0xDB8E0, 5), {}},
        {2, 0x08, 0x4720, "DRV2.SRE", Data(0xDB8E0, 6), {}},
        {2, 0x00, 0x4720, "DRV3.SRE", Data(0xDB8E0, 7), {}},
        {2, 0x10, 0x4720, "DRV6.SRE", Data(0, 8), {}},
    };
    const size_t withoutLast = korvel::kit::BuildGlobalFile(parts).size();
    // The last part takes what is left of 4 MiB (its length field grows by a few bytes).
    parts.back().data = Data(korvel::kit::glo::kMaxFile - withoutLast - 8, 8);
    auto file = korvel::kit::BuildGlobalFile(parts);
    while (file.size() < korvel::kit::glo::kMaxFile) {
        parts.back().data.push_back(0);
        file = korvel::kit::BuildGlobalFile(parts);
    }
    while (file.size() > korvel::kit::glo::kMaxFile) {
        parts.back().data.pop_back();
        file = korvel::kit::BuildGlobalFile(parts);
    }
    return file;
}

void BM_ExtractImage(benchmark::State& state) {
    const auto file = FourMiBFile();
    for (auto _ : state) {
        auto image = korvel::kit::ExtractImage("bench.glo", file.data(), file.size(), KvOrb1Mb);
        if (!image.Ok()) state.SkipWithError(image.refusal.text.c_str());
        benchmark::DoNotOptimize(image.crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
    state.counters["file_bytes"] = static_cast<double>(file.size());
}
BENCHMARK(BM_ExtractImage)->Unit(benchmark::kMillisecond);

void BM_ExtractGlobalFile(benchmark::State& state) {
    std::string pattern = (std::filesystem::temp_directory_path() / "brenmark-glo-XXXXXX");
    if (!mkdtemp(pattern.data())) return state.SkipWithError("no temporary folder");
    const std::string path = pattern + "/bench.glo";
    const auto file = FourMiBFile();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
    for (auto _ : state) {
        const auto result = korvel::kit::ExtractGlobalFile(path, KvOrb1Mb);
        if (!result.Ok()) state.SkipWithError(result.refusal.text.c_str());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
    std::filesystem::remove_all(pattern);
}
BENCHMARK(BM_ExtractGlobalFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
