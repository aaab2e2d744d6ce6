// Small operations on text that several parts of the program need alike.
#ifndef KORVEL_BASE_TEXT_H
#define KORVEL_BASE_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>

namespace korvel::base {

// Spaces, tabs and line ends.
inline constexpr std::string_view kBlanks = " \t\r\n";

// `text` without the characters of `blanks` at its start, its end, or both.
std::string_view TrimStart(std::string_view text, std::string_view blanks = kBlanks);
std::string_view TrimEnd(std::string_view text, std::string_view blanks = kBlanks);
std::string_view Trim(std::string_view text, std::string_view blanks = kBlanks);

// Trim's result as a string.
std::string Trimmed(std::string_view text, std::string_view blanks = kBlanks);

// The text trimmed, its inner line ends (CR, LF) turned into spaces: a message for one line.
std::string OneLine(std::string_view text);

// Whether the two are equal, ASCII letters compared without their case.
bool EqualIgnoringCase(std::string_view a, std::string_view b);

// The decimal digits in groups of three: 57344 -> "57,344".
std::string GroupDigits(uint64_t value);

}  // namespace korvel::base

#endif
