// Fuzz target for the settings store's parser. The input is the store file; the parser must
// answer without crashing, and a store it takes must come back the same from its own writing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "settings_store.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    brenmark::SettingsStore store;
    std::string error;
    if (!brenmark::SettingsStore::Parse(bytes, store, error)) {
        Require(!error.empty());
        return 0;
    }
    const std::string text = store.Serialize();
    brenmark::SettingsStore again;
    Require(brenmark::SettingsStore::Parse(std::vector<uint8_t>(text.begin(), text.end()), again,
                                           error));
    Require(again.Values().size() == store.Values().size());
    for (const brenmark::SettingsStore::Value& value : store.Values()) {
        if (value.isString) {
            Require(again.GetString(value.name) == value.text);
        } else {
            Require(again.GetNumber(value.name) == value.number);
        }
    }
    return 0;
}
