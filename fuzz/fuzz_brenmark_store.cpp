// Fuzz target for the settings store's parser. The input is the store file; the parser must
// answer without crashing, a store it takes must come back byte for byte from its own writing,
// and after values are set only those values change: the rewritten file reads back with the new
// values and every other value as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "brenmark/settings_store.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    const korvel::base::Expected<brenmark::SettingsStore> parsed =
        brenmark::SettingsStore::Parse(bytes);
    if (!parsed) {
        Require(!parsed.error().message.empty());
        return 0;
    }
    const brenmark::SettingsStore& store = *parsed;
    Require(store.Serialize() == bytes);

    // One value changed (or added), one added, as a save at Quit does.
    brenmark::SettingsStore changed = store;
    Require(changed.SetString("FileName", "/kit/a \"b\\c\".sre"));
    changed.SetNumber("fuzzNumber", 0x80000003u);
    const std::vector<uint8_t> written = changed.Serialize();
    const korvel::base::Expected<brenmark::SettingsStore> read =
        brenmark::SettingsStore::Parse(written);
    Require(read.has_value());
    const brenmark::SettingsStore& again = *read;
    Require(again.Values().size() == changed.Values().size());
    for (const brenmark::SettingsStore::Value& value : changed.Values()) {
        if (value.isString) {
            Require(again.GetString(value.name) == value.text);
        } else {
            Require(again.GetNumber(value.name) == value.number);
        }
    }
    return 0;
}
