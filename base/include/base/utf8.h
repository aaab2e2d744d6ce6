// UTF-8: encoding a code point, and telling valid sequences from stray bytes.
#ifndef KORVEL_BASE_UTF8_H
#define KORVEL_BASE_UTF8_H

#include <cstddef>
#include <string>
#include <string_view>

namespace korvel::base {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Appends `code` in UTF-8; a surrogate or a value above U+10FFFF, which no text may hold, as
// U+FFFD.
void AppendUtf8(std::string& out, char32_t code);

// The length of the valid UTF-8 sequence that starts at `text[at]` (1 for an ASCII byte), or 0
// when the bytes there are no valid sequence: a stray continuation byte, a sequence cut short, an
// overlong form, a surrogate, a value above U+10FFFF.
size_t Utf8SequenceLength(std::string_view text, size_t at);

// Whether all of `text` is valid UTF-8.
bool IsValidUtf8(std::string_view text);

// `text` with every byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);

}  // namespace korvel::base

#endif
