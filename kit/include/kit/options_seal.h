// The seal of the options file "Brenmark.ini" in the automatic binary loading mode: a marker, then
// 8 lower-case hexadecimal digits of a check value computed over the whole file. The program
// checks it at start-up; `cordane seal` writes it.
#ifndef KORVEL_KIT_OPTIONS_SEAL_H
#define KORVEL_KIT_OPTIONS_SEAL_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel::kit {

inline constexpr char kSealMarker[] = "[KORVEL_OPTIONS]\r\nCheckValue=";
inline constexpr size_t kSealMarkerSize = sizeof kSealMarker - 1;  // 29
inline constexpr size_t kSealValueSize = 8;
inline constexpr uint16_t kSealCrcStart = 0x6C2F;  // the CRC-16/X-25 register's start for the seal

// The check value as it stands in the file: the bytes after the first marker up to the line end
// (CR or LF) or the end of the file. A sealed file holds exactly the 8 digits there.
struct SealValue {
    size_t at = 0;    // where the value starts (where the marker ends)
    size_t size = 0;  // its length up to the line end
};
std::optional<SealValue> FindSealValue(const uint8_t* data, size_t size);
// The check value of the bytes, the 8 bytes at `valueAt` (inside or at the end of the bytes) read
// as the placeholder "KORVVROK".
std::string ComputeSealValue(const uint8_t* data, size_t size, size_t valueAt);

// Correct only when the value is the 8 computed digits and nothing else up to the line end: a
// value that runs on into other text (a seal written over the bytes that followed it) is wrong.
enum class SealState { Correct, NoMarker, Wrong };
SealState CheckSeal(const std::vector<uint8_t>& bytes);

// Puts the correct check value in place of the value after the marker; every other byte is kept,
// so the file grows when the value was shorter than 8 characters (an empty "CheckValue=" line).
// A value longer than 8 characters, or one holding a byte that is not printable text, is refused
// and the bytes are left as they were: replacing it would lose what the file's owner wrote there.
enum class SealResult { Sealed, NoMarker, ValueTooLong, ValueNotText };
SealResult Seal(std::vector<uint8_t>& bytes);

}  // namespace korvel::kit

#endif
