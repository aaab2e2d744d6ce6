// Speed of the S-record conversion, in characters of text per second, on 4 MB of 32-byte S2
// records.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "cordane/formats/srec.h"
#include "srec_text.h"

namespace {

constexpr size_t kTextSize = 4 << 20;

struct Input {
    std::string text;
    std::vector<uint8_t> image;
};

const Input& SharedInput(uint32_t start) {
    static Input plain;
    static Input window;
    Input& input = start == cordane::kPlainStart ? plain : window;
    if (input.text.empty()) {
        korvel::SrecTextOptions options;
        options.start = start;
        options.crlf = true;
        const size_t bytes = korvel::DataBytesForText(kTextSize, options);
        input.text = korvel::MakeSrecText(korvel::MakeCodeBytes(bytes, options.seed), options);
        input.image.resize(bytes);
    }
    return input;
}

// Converts the shared text that starts at `start` into an image of its size with `convert`, as
// often as the benchmark asks; a conversion that fails or falls short ends the benchmark.
template <typename Convert>
void MeasureConversion(benchmark::State& state, uint32_t start, Convert convert) {
    const Input& input = SharedInput(start);
    std::vector<uint8_t> image(input.image.size());
    const auto* text = reinterpret_cast<const uint8_t*>(input.text.data());
    for (auto _ : state) {
        const cordane::SrecResult result =
            convert(text, input.text.size(), image.data(), image.size());
        if (result.error != cordane::SrecError::None || result.length != image.size()) {
            state.SkipWithError("conversion failed");
            break;
        }
        benchmark::DoNotOptimize(image.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.text.size()));
}

void BM_ConvertPlain(benchmark::State& state) {
    MeasureConversion(state, cordane::kPlainStart, cordane::ConvertSrecPlain);
}
BENCHMARK(BM_ConvertPlain);

// Windowed form on a text whose records all lie inside the window.
void BM_ConvertWindow(benchmark::State& state) {
    constexpr uint32_t kLower = 0x100000;
    MeasureConversion(
        state, kLower, [](const uint8_t* text, size_t length, uint8_t* image, size_t capacity) {
            return cordane::ConvertSrecWindow(text, length, image, capacity, kLower, 0x1000000);
        });
}
BENCHMARK(BM_ConvertWindow);

// Windowed form over a window that holds none of the records: the speed of skipping.
void BM_ConvertWindowSkipAll(benchmark::State& state) {
    const Input& input = SharedInput(cordane::kPlainStart);
    std::vector<uint8_t> image(16);
    const auto* text = reinterpret_cast<const uint8_t*>(input.text.data());
    for (auto _ : state) {
        const cordane::SrecResult result = cordane::ConvertSrecWindow(
            text, input.text.size(), image.data(), image.size(), 0xF00000, 0xF00100);
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.text.size()));
}
BENCHMARK(BM_ConvertWindowSkipAll);

}  // namespace

BENCHMARK_MAIN();
