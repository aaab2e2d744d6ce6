// cordane encipher / cordane decipher: the enciphered region of a binary download file for
// automatic binary loading, enciphered for the engine or deciphered for a look at it.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/read_file.h"
#include "base/replace_file.h"
#include "cli/arguments.h"
#include "cli/key_options.h"
#include "cli/user_files.h"
#include "commands.h"
#include "cordane/formats/cipher.h"
#include "cordane/formats/large_layout.h"

namespace cordane::tools {

namespace {

using large::kEnciphered;
using large::kFileApp;
using large::kFileAppNumber;
using large::kFileIdentity;

// A file shorter than this cannot hold the whole enciphered region.
constexpr size_t kMinimumSize = kFileApp + kEnciphered;

enum class Direction { Encipher, Decipher };

constexpr char kHelpFormat[] =
    "usage: cordane %1$s (--key-selector 0|1 | --key HEX16) IN.bin OUT.bin\n"
    "\n"
    "%2$s the 4,096 application bytes at offset 0xA002 of a binary download file, the bytes\n"
    "that are enciphered in an image for automatic binary loading (download type 1), and writes\n"
    "the whole file to OUT. The key is derived from the base key and the file's first two bytes;\n"
    "every byte outside the region is copied as it stands.\n"
    "\n"
    "  --key-selector 0|1  base key A (0) or B (1), the keys built into the engine\n"
    "  --key HEX16         an 8-byte base key given as 16 hexadecimal digits, e.g. the key a\n"
    "                      program registers for another key selector with RegisterBaseKey\n"
    "\n"
    "IN must hold at least 45,058 bytes (0xB002): 2 key bytes, the 40,960-byte driver library\n"
    "and the region. OUT is written only when everything succeeds; it may be IN itself, which is\n"
    "then replaced. A symbolic link OUT is followed (the link stays); a device or FIFO is written\n"
    "in place.\n"
    "\n"
    "Exit codes: 0 OUT written; 1 IN unreadable or too short, or OUT not written;\n"
    "2 bad command line.\n";

class Cipher {
  public:
    explicit Cipher(Direction direction) : direction_(direction) {}
    int Run(int argc, char** argv);

  private:
    const char* Name() const { return direction_ == Direction::Encipher ? "encipher" : "decipher"; }
    int Usage(std::string_view problem) const;

    Direction direction_;
};

int Cipher::Usage(std::string_view problem) const {
    return ReportUsage(Name(), problem, "(--key-selector 0|1 | --key HEX16) IN.bin OUT.bin");
}

int Cipher::Run(int argc, char** argv) {
    const char* input = nullptr;
    const char* output = nullptr;
    KeyChoice choice;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && IsHelpOption(arg)) {
            std::printf(kHelpFormat, Name(),
                        direction_ == Direction::Encipher ? "Enciphers" : "Deciphers");
            return kExitOk;
        }
        if (TakeOptionsEnd(arg, options)) continue;
        if (options) {
            const korvel::base::Expected<bool> key = TakeKeyOption(argc, argv, i, choice);
            if (!key) return Usage(key.error().message);
            if (*key) continue;
        }
        const korvel::base::Expected<void> taken = TakeOperand(argv[i], options, {&input, &output});
        if (!taken) return Usage(taken.error().message);
    }

    uint8_t base[kBaseKeySize] = {};
    std::string keyName;
    if (choice.selector.has_value() == choice.key.has_value()) {
        return Usage(choice.key ? "give either --key-selector or --key, not both"
                                : "give the base key: --key-selector 0|1 or --key HEX16");
    }
    if (choice.selector) {
        const uint32_t selector = *choice.selector;
        if (selector != kBaseKeyA && selector != kBaseKeyB) {
            return Usage("key selector " + std::to_string(selector) +
                         " is not built in: only 0 (base key A) and 1 (base key B) are; give "
                         "any other base key with --key HEX16");
        }
        if (!BuiltInBaseKey(selector, base)) {
            return Usage("no base key for selector " + std::to_string(selector));
        }
        keyName = selector == kBaseKeyA ? "base key A" : "base key B";
    } else {
        std::copy(choice.key->begin(), choice.key->end(), base);
        keyName = "the base key given";
    }
    if (output == nullptr) return Usage("give both an IN.bin and an OUT.bin file");

    korvel::base::Expected<korvel::base::FileBytes> file = korvel::base::ReadWholeFile(input);
    if (!file) {
        ReportError(Name(), GiveInstead(file.error(), "a binary download file"));
        std::fprintf(stderr, "  %s was not written.\n", output);
        return kExitBadInput;
    }
    std::vector<uint8_t>& bytes = file->bytes;
    if (bytes.size() < kMinimumSize) {
        std::fprintf(stderr,
                     "cordane %s: %s is %zu bytes long; its enciphered region, %zu bytes at offset "
                     "0x%zX, needs a file of at least %zu bytes (0x%zX). Check that this is a "
                     "binary download file.\n  %s was not written.\n",
                     Name(), input, bytes.size(), kEnciphered, kFileApp, kMinimumSize, kMinimumSize,
                     output);
        return kExitBadInput;
    }

    bool digits = false;
    if (direction_ == Direction::Encipher) {
        const std::string number = AppNumberText(bytes.data(), digits);
        if (!digits) {
            std::fprintf(stderr,
                         "cordane encipher: warning: the application number at 0x%zX of %s reads "
                         "\"%s\", not three digits: %s may be enciphered already, and enciphering "
                         "it twice makes it unreadable for the engine.\n",
                         kFileAppNumber, input, number.c_str(), input);
        }
    }

    const bool done =
        direction_ == Direction::Encipher
            ? EncipherImageRegion(bytes.data(), bytes.size(), kFileApp, kEnciphered, base)
            : DecipherImageRegion(bytes.data(), bytes.size(), kFileApp, kEnciphered, base);
    if (!done) {  // cannot happen after the length check; kept so that a change there shows
        std::fprintf(stderr, "cordane %s: %s: the region at 0x%zX does not fit the file\n", Name(),
                     input, kFileApp);
        return kExitBadInput;
    }

    std::string plainFacts;
    if (direction_ == Direction::Decipher) {
        const std::string number = AppNumberText(bytes.data(), digits);
        char facts[96];
        std::snprintf(facts, sizeof facts, " (application number \"%s\", identity 0x%04X)",
                      number.c_str(), bytes[kFileIdentity] | (bytes[kFileIdentity + 1] << 8));
        plainFacts = facts;
        if (!digits) {
            std::fprintf(stderr,
                         "cordane decipher: warning: after deciphering, the application number at "
                         "0x%zX of %s reads \"%s\", not three digits: check the key, and that %s "
                         "is enciphered at all.\n",
                         kFileAppNumber, input, number.c_str(), input);
        }
    }

    if (const korvel::base::Expected<void> written = korvel::base::ReplaceWholeFile(output, bytes);
        !written) {
        ReportError(Name(), written.error());
        std::fprintf(stderr, "  %s was not written.\n", output);
        return kExitBadInput;
    }
    std::printf(
        "%sed %zu bytes at 0x%zX-0x%zX of %s with %s and first bytes %02X %02X%s; wrote %s\n",
        Name(), kEnciphered, kFileApp, kFileApp + kEnciphered - 1, input, keyName.c_str(), bytes[0],
        bytes[1], plainFacts.c_str(), output);
    return kExitOk;
}

}  // namespace

int RunEncipher(int argc, char** argv) {
    return Cipher(Direction::Encipher).Run(argc, argv);
}

int RunDecipher(int argc, char** argv) {
    return Cipher(Direction::Decipher).Run(argc, argv);
}

}  // namespace cordane::tools
