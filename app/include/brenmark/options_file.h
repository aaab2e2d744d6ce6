// The options file "Brenmark.ini": its keys read as the profile-string service reads them, the
// check of the seal that guards it in the automatic binary loading mode (the seal itself is the
// kit's: kit/options_seal.h), and the choice of the "*.kor" image.
#ifndef BRENMARK_OPTIONS_FILE_H
#define BRENMARK_OPTIONS_FILE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "kit/options_seal.h"

namespace brenmark {

inline constexpr const char kOptionsFileName[] = "Brenmark.ini";

// The value of `key` in `section` of a profile text: sections and keys compared without regard to
// case, the first section and the first key of that name counting, blanks around names and values
// dropped, and one pair of matching quotes around a value removed. A missing key gives
// `defaultValue`. Like the service's read buffer of `bufferSize` characters, the answer keeps at
// most bufferSize - 1 characters.
std::string ReadProfileString(std::string_view content, std::string_view section,
                              std::string_view key, std::string_view defaultValue,
                              size_t bufferSize);

// An unsigned decimal number as the C library reads one: leading blanks skipped, an optional
// sign, digits up to the first non-digit (none gives 0); a minus sign negates modulo 2^32 and a
// number too large for 32 bits gives 0xFFFFFFFF.
uint32_t ProfileNumber(std::string_view text);

// The options that decide the session.
struct Options {
    int askQuestion = 0;
    int eraseDataFlash = 0;
    uint32_t serialPort = 0;  // a port fixed by the file (COM n); 0: none
    int downloadType = 0;
};
// Reads the options from the file's text (empty when there is no file). `portFixed`: a port is
// fixed already (by the command line), so SerialPort is not read.
Options ReadOptions(std::string_view content, bool portFixed);

// The application numbers of the automatic binary loading mode (read once the seal is correct).
struct ApplicationNumbers {
    int check = 0;
    uint32_t number = 0;
    uint32_t previous1 = 0;
    uint32_t previous2 = 0;
};
ApplicationNumbers ReadApplicationNumbers(std::string_view content);

// ---- The seal's check at start-up.

// The check of the options file `path` as the dialog makes it: success when its seal is correct.
// The check takes the file's lock, as cordane seal does. Otherwise the error's message is the box
// the dialog shows first for the failures that have their own (the file cannot be opened, locked
// or read, no marker), and empty when the value is only wrong; kOptionsNotCorrect follows it.
korvel::base::Expected<void> CheckOptionsFileSeal(const std::string& path);

inline constexpr const char kOptionsNotCorrect[] = "Brenmark.ini is not correct !";

// ---- The image of the automatic binary loading mode.

// The image number (0..9999) of a valid binary image name, nothing for another name.
std::optional<int> BinaryImageNumber(std::string_view name);
// The best image among the "*.kor" files of `directory` (extension in any case): the highest
// number, then the latest written; the names are taken in byte order so that the choice does not
// depend on the file system's listing. Empty when no valid file exists.
std::string ChooseBinaryImage(const std::string& directory);

}  // namespace brenmark

#endif
