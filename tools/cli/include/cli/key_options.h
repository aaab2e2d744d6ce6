// The base key of an enciphered image as a command line chooses it: --key-selector N (a built-in
// key, or the selector a key is registered under) and --key HEX16.
#ifndef CORDANE_TOOLS_CLI_KEY_OPTIONS_H
#define CORDANE_TOOLS_CLI_KEY_OPTIONS_H

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/error.h"
#include "cordane/formats/cipher.h"

namespace cordane::tools {

using BaseKey = std::array<uint8_t, kBaseKeySize>;

// The base key chosen on a command line with --key-selector N and --key HEX16.
struct KeyChoice {
    std::optional<uint32_t> selector;
    std::optional<BaseKey> key;
};

// What a command says when --key-selector or --key comes without its value.
inline constexpr char kKeySelectorMissing[] =
    "--key-selector needs a number: 0 (base key A), 1 (base key B) or the selector to register "
    "--key under";
inline constexpr char kKeyMissing[] = "--key needs 16 hexadecimal digits";

// An 8-byte base key from 16 hexadecimal digits, optionally after 0x.
[[nodiscard]] bool ParseKey(std::string_view text, uint8_t key[kBaseKeySize]);

// The value of --key-selector and of --key; a usage error that quotes the text otherwise.
korvel::base::Expected<uint32_t> ParseKeySelector(std::string_view text);
korvel::base::Expected<BaseKey> ParseKeyText(std::string_view text);

// Takes argv[i] into `choice` when it is --key-selector or --key: true when it was one of them,
// false when it is another argument; a usage error when its value is missing or wrong.
korvel::base::Expected<bool> TakeKeyOption(int argc, char** argv, int& i, KeyChoice& choice);

// Refuses the pair for a command that registers --key under the selector given (or a selector of
// its own): a key given for a built-in selector (0 or 1), or a selector of a registered key
// without the key, which this program cannot know otherwise.
korvel::base::Expected<void> CheckKeyChoice(const KeyChoice& choice);

}  // namespace cordane::tools

#endif
