// What the commands check and say about a user's files: what to give instead of a file refused,
// whether two names lead to one file, a record the S-record conversion refused, and the
// application number of a binary download file.
#ifndef CORDANE_TOOLS_CLI_USER_FILES_H
#define CORDANE_TOOLS_CLI_USER_FILES_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "base/error.h"
#include "base/path.h"
#include "cordane/formats/srec.h"

namespace cordane::tools {

// The refusal of an input file, with what to give instead ("an S-record file") as its hint when
// the file is a directory, a FIFO or a device.
korvel::base::Error GiveInstead(korvel::base::Error error, const std::string& wanted);

using korvel::base::PathOf;
using korvel::base::Utf8Of;

// Whether `a` and `b` name one file, through links of either kind; false when either cannot be
// looked at (a file still to be written).
bool SameFile(const std::string& a, const std::string& b);

// A refused conversion as the user reads it: "record at byte 18 (address 0x002001) overlaps or
// comes before the previous record" (no address for a record cut off before it).
std::string DescribeSrecRefusal(const SrecResult& result);

// The application number's three characters in a (deciphered) binary download file, as plain text
// (a character that is not printable shows as '?'), and whether all three are digits.
std::string AppNumberText(const uint8_t* file, bool& digits);

// The warning a binary download file (`file` holds at least its first 0xA016 bytes) deserves
// when its application number is not three digits: "warning: the application number at ...".
// `deciphered` tells whether the file was deciphered first, which makes a wrong key or a file
// never enciphered the likely cause. Nothing when the number is three digits.
std::optional<std::string> AppNumberWarning(const std::string& path, const uint8_t* file,
                                            bool deciphered);

}  // namespace cordane::tools

#endif
