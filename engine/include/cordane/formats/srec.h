// S-record conversion: Motorola S-record text (".sre") into a memory image, one byte per reader
// address, holes filled with 0xFF.
//
// Only S2 records (24-bit addresses) are taken into the image; the other record types are read
// and checked, then left out. Characters outside a record (line ends, blank lines, stray text) are
// skipped. Hexadecimal digits are "0"-"9" and "A"-"F"; any other character, lower-case "a"-"f"
// included, counts as 15 (the readers' build tools only ever write upper case, and the loaders
// have always read the files this way). Every record's checksum is checked on the values as read,
// so a file whose digits are not what its checksums were made from is refused, not flashed.
//
// Two forms share one parser:
//   plain     every record from reader address 0x2000 upwards; image byte 0 is address 0x2000
//   windowed  only records whose address lies in [lower, upper); image byte 0 is address lower
//
// A record is "S", a type digit, a byte count (2 digits), then count bytes (2 digits each): the
// address (2 bytes for S0/S1/S5/S9, 3 for S2/S6/S8, 4 for S3/S7), the data and a checksum, the
// ones' complement of the sum of the count and every byte before it. A taken record's data goes to
// image index address - start, the gap since the previous record's end is filled with 0xFF, and
// the image ends at the last data byte taken. A taken record with no data bytes (byte count 4)
// still fills the gap in front of its address.
//
// Input that the conversion cannot represent is refused with an SrecError, the byte offset of the
// record's "S" and the record's address; nothing is read past the text and nothing is written past
// the image. The checks, in the order they are made for each record:
//   - an "S" that is the last character of the text, or a record whose count, address or bytes
//     are cut off by the end of the text: Truncated (address 0 when it was not read);
//   - a byte count too small for the record's address and checksum: ShortCount;
//   - a checksum that does not match the bytes as read: BadChecksum;
//   - an S2 record whose data straddles a bound of the window (it starts below and runs into it,
//     or starts inside and runs past it): CrossesWindow, since part of it would be lost;
//   - an S2 record outside the window is then skipped;
//   - address below the end of the previous record taken: OutOfOrder;
//   - data that would end past `capacity` bytes of image: ImageTooLarge;
// and once the text is read, a text holding records whose last record is not an end record (S7,
// S8 or S9): MissingEnd, at the text's end (a file cut short at a line end). A text without any
// record is not refused: it converts to an empty image, which the callers report as holding
// nothing to download.
// All checks on a record are made before any of its bytes are written, so after a refusal the
// image holds the records taken before the one at fault, and the image bytes from result.length
// on are untouched, refused or not.
#ifndef CORDANE_SREC_H
#define CORDANE_SREC_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace cordane {

inline constexpr uint32_t kPlainStart = 0x2000;  // first address of a plain conversion

enum class SrecError : uint8_t {
    None = 0,
    OutOfOrder,     // record address below the next address (out of order or overlapping)
    ShortCount,     // byte count too small for the record's address and checksum
    Truncated,      // record cut off by the end of the text
    ImageTooLarge,  // the image would not fit the buffer given
    BadChecksum,    // the checksum does not match the record's bytes as read
    CrossesWindow,  // the record's data straddles a bound of the window
    MissingEnd,     // the last record is not an end record (S7, S8, S9)
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

// The one text for a refused S-record file: "The file F is not a valid S-record file: the record
// at byte N (address 0x...) has a wrong checksum. Rebuild the file and try again." `what` names
// the file's role ("application file", "driver file", "file").
std::string SrecRefusal(const std::string& what, const std::string& path, const SrecResult& result);

}  // namespace cordane

#endif
