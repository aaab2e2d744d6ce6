// S-record conversion: Motorola S-record text (".sre") into a memory image, one byte per reader
// address, holes filled with 0xFF.
//
// Only S2 records (24-bit addresses) are taken; every other record type and every character
// outside a record is skipped. Hexadecimal digits are "0"-"9" and "A"-"F"; any other character,
// lower-case "a"-"f" included, counts as 15 (the readers' build tools only ever write upper case,
// and the loaders have always read the files this way). Checksums are not read.
//
// Two forms share one parser:
//   plain     every record from reader address 0x2000 upwards; image byte 0 is address 0x2000
//   windowed  only records whose address lies in [lower, upper); image byte 0 is address lower
//
// A record is "S2", a byte count (2 digits), an address (6 digits), byte count - 4 data bytes
// (2 digits each) and a checksum. A taken record's data goes to image index address - start, the
// gap since the previous record's end is filled with 0xFF, and the image ends at the last data
// byte taken. A record that starts inside the window is taken whole, even when its data runs past
// the window's upper bound. A taken record with no data bytes (byte count 4) still fills the gap
// in front of its address.
//
// Input that the conversion cannot represent is refused with an SrecError, the byte offset of the
// record's "S" and the record's address; nothing is read past the text and nothing is written past
// the image. The checks, in the order they are made for each "S":
//   - an "S" that is the last character of the text, or an S2 record whose count and address are
//     cut off by the end of the text: Truncated (address 0, as it was not read);
//   - a record outside the window (below 0x2000 for the plain form) is skipped here, before its
//     byte count and data are looked at: a skipped record is never refused, whatever its count,
//     its length or its place in the address order;
//   - byte count below 4: ShortCount;
//   - address below the end of the previous record taken: OutOfOrder;
//   - data cut off by the end of the text: Truncated (a missing checksum is not, as it is not
//   read);
//   - data that would end past `capacity` bytes of image: ImageTooLarge.
// All checks on a record are made before any of its bytes are written, so after a refusal the
// image holds the records taken before the one at fault, and the image bytes from result.length
// on are untouched, refused or not.
#ifndef CORDANE_SREC_H
#define CORDANE_SREC_H

#include <cstddef>
#include <cstdint>

namespace cordane {

inline constexpr uint32_t kPlainStart = 0x2000;  // first address of a plain conversion

enum class SrecError : uint8_t {
    None = 0,
    OutOfOrder,     // record address below the next address (out of order or overlapping)
    ShortCount,     // byte count below 4 (no room for address and checksum)
    Truncated,      // record cut off by the end of the text
    ImageTooLarge,  // the image would not fit the buffer given
};

struct SrecResult {
    SrecError error = SrecError::None;
    size_t offset = 0;     // byte offset in the text of the record at fault (its "S")
    uint32_t address = 0;  // that record's address (0 when it was not read)
    size_t length = 0;     // image length on success; after a refusal, the length built before it
};

// Writes the conversion banner to standard output. The conversion functions never print; the
// callers that show the banner call this before converting.
void PrintConversionBanner();

// Converts `text` into `image` (capacity bytes). On success result.length is the image length
// (highest address written + 1 - start) and every image byte below it is written.
[[nodiscard]] SrecResult ConvertSrecPlain(const uint8_t* text, size_t textLength, uint8_t* image,
                                          size_t capacity);
[[nodiscard]] SrecResult ConvertSrecWindow(const uint8_t* text, size_t textLength, uint8_t* image,
                                           size_t capacity, uint32_t lower, uint32_t upper);

// What is wrong with the record at fault, as the end of a sentence that the caller starts with
// the record's place, e.g. "record at byte 120 (address 0x2100) " + "overlaps or comes before the
// previous record".
const char* SrecErrorText(SrecError error);

}  // namespace cordane

#endif
