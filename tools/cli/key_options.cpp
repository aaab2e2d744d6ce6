#include "cli/key_options.h"

#include <cstring>
#include <string>

#include "base/hex.h"
#include "cli/arguments.h"

namespace cordane::tools {

bool ParseKey(std::string_view text, uint8_t key[kBaseKeySize]) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.size() != 2 * kBaseKeySize) return false;
    uint8_t bytes[kBaseKeySize] = {};
    for (size_t i = 0; i < text.size(); ++i) {
        const int digit = korvel::base::HexDigitValue(text[i]);
        if (digit < 0) return false;
        bytes[i / 2] = static_cast<uint8_t>(bytes[i / 2] << 4 | digit);
    }
    std::memcpy(key, bytes, kBaseKeySize);
    return true;
}

korvel::base::Expected<uint32_t> ParseKeySelector(std::string_view text) {
    uint64_t selector = 0;
    if (!ParseNumber(text, UINT32_MAX, selector)) {
        return UsageError("bad key selector \"" + std::string(text) +
                          "\": give 0 (base key A), 1 (base key B) or a number up to 4294967295 "
                          "(0xFFFFFFFF) that names the key given with --key");
    }
    return static_cast<uint32_t>(selector);
}

korvel::base::Expected<BaseKey> ParseKeyText(std::string_view text) {
    BaseKey key{};
    if (!ParseKey(text, key.data())) {
        return UsageError("bad key \"" + std::string(text) +
                          "\": give exactly 16 hexadecimal digits (8 bytes), e.g. "
                          "0123456789ABCDEF");
    }
    return key;
}

korvel::base::Expected<bool> TakeKeyOption(int argc, char** argv, int& i, KeyChoice& choice) {
    std::string text;
    switch (MatchOption(argc, argv, i, "--key-selector", text)) {
        case OptionMatch::Missing:
            return UsageError(kKeySelectorMissing);
        case OptionMatch::Value: {
            KORVEL_ASSIGN_OR_RETURN(choice.selector, ParseKeySelector(text));
            return true;
        }
        case OptionMatch::No:
            break;
    }
    switch (MatchOption(argc, argv, i, "--key", text)) {
        case OptionMatch::Missing:
            return UsageError(kKeyMissing);
        case OptionMatch::Value: {
            KORVEL_ASSIGN_OR_RETURN(choice.key, ParseKeyText(text));
            return true;
        }
        case OptionMatch::No:
            break;
    }
    return false;
}

korvel::base::Expected<void> CheckKeyChoice(const KeyChoice& choice) {
    if (!choice.selector) return {};
    const uint32_t selector = *choice.selector;
    const bool builtIn = selector == kBaseKeyA || selector == kBaseKeyB;
    if (builtIn && choice.key) {
        return UsageError("--key cannot replace the built-in base key " +
                          std::string(selector == 0 ? "A" : "B") + " (key selector " +
                          std::to_string(selector) +
                          "): leave --key-selector out, or give a selector of 2 or more to "
                          "register the key under");
    }
    if (!builtIn && !choice.key) {
        return UsageError("key selector " + std::to_string(selector) +
                          " names no key that this program knows: give the base key with --key "
                          "HEX16, or use selector 0 or 1 for a built-in key");
    }
    return {};
}

}  // namespace cordane::tools
