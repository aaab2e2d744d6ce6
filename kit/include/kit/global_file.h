// Binary Global Files (".glo"): one file carrying the flash contents of several reader types, and
// the flash image cut out of it for one reader type, written as a "bin" file (a CRC, then the
// image) that is downloaded like any binary download file.
//
// Encoding: tag-length-value, one-byte tags, definite lengths (below 0x80 one byte; otherwise
// 0x80 + n followed by n length bytes, most significant first, of which only the last 4 count).
//
//   0xA0  the file: the first 0xA0 element, whose value must end exactly at the end of the file
//     0xA1  one component, any number of them
//       0x80  CRC-16/X-25 of the data, 2 bytes, least significant first
//       0x81  name, up to 256 bytes ("SREHARD4_S.SRE")
//       0x82  kind, 1 byte: 1 common, anything else reader-specific
//       0x83  reader flags, 1 byte (0x08, 0x10, 0x40 in use); reader-specific components only
//       0x85  load address, 4 bytes, least significant first
//       0x86  data
//
// Tags are searched one level deep: the walk steps over each sibling element by its length and
// takes the first with the wanted tag; elements with other tags are stepped over. A file is
// refused as a whole, before anything is written, when an element's length runs past its parent,
// when a component lacks a tag it needs or holds a value of the wrong width, when a component's
// data would overflow its slot, or when any component's CRC is wrong (kept or not).
//
// Everything here but ExtractGlobalFile(To), CheckGlobalFileAt and WriteBinFile is pure: no file,
// no message box.
#ifndef KORVEL_KIT_GLOBAL_FILE_H
#define KORVEL_KIT_GLOBAL_FILE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"

namespace korvel::kit {

namespace glo {
inline constexpr uint8_t kFileTag = 0xA0;
inline constexpr uint8_t kComponentTag = 0xA1;
inline constexpr uint8_t kCrcTag = 0x80;
inline constexpr uint8_t kNameTag = 0x81;
inline constexpr uint8_t kKindTag = 0x82;
inline constexpr uint8_t kFlagsTag = 0x83;
inline constexpr uint8_t kAddressTag = 0x85;
inline constexpr uint8_t kDataTag = 0x86;

inline constexpr uint8_t kCommonKind = 1;       // any other kind is reader-specific
inline constexpr size_t kMaxName = 256;         // bytes of a component name
inline constexpr size_t kMaxFile = 0x400000;    // a global file is read whole into 4 MiB
inline constexpr size_t kImageSize = 0x400000;  // the flash image, preset to 0xFF
// Components whose name begins with these 13 characters are the reader types 8 and 9.
inline constexpr char kLargeNamePrefix[] = "SREHARD4_S.SR";
}  // namespace glo

// One element found by the tag walk: its tag, where it starts, where its value starts and how
// long the value is (all offsets into the bytes walked).
struct GloElement {
    uint8_t tag = 0;
    size_t offset = 0;
    size_t valueOffset = 0;
    size_t length = 0;
    size_t End() const { return valueOffset + length; }
};

// Reads one element's tag and length at `offset`, within [offset, end). False when the header
// or the value runs past `end`.
bool ReadElement(const uint8_t* bytes, size_t offset, size_t end, GloElement* element);

// The big-endian length held in n bytes; only the last 4 count.
uint32_t ReadBigEndianLength(const uint8_t* bytes, size_t n);

enum class TagSearch : uint8_t {
    Found,
    Absent,     // no element with that tag among the siblings
    Malformed,  // a sibling runs past the end before the tag was found (at *faultOffset)
};

// Walks the siblings in [begin, end) and finds the first element with `tag`.
TagSearch FindTag(const uint8_t* bytes, size_t begin, size_t end, uint8_t tag, GloElement* element,
                  size_t* faultOffset);

// The reader type (index in the terminal-type list) of a reader-specific component, from its
// reader flags and the 13-character name rule.
int ReaderTypeOfComponent(uint8_t flags, const std::string& name);

// Whether a component of this kind, load address and size has a place in the flash image. The
// extraction steps over a component that no slot takes, and refuses the whole file when one is
// longer than its slot.
enum class SlotFit : uint8_t {
    Fits,
    NoSlot,    // no slot for this kind at this load address: the component is ignored
    TooLarge,  // longer than the slot's capacity
};
struct SlotPlace {
    SlotFit fit = SlotFit::NoSlot;
    size_t capacity = 0;  // of the slot, when there is one
};
SlotPlace PlaceOf(bool common, uint32_t address, size_t size);

// One component as read from a file.
struct GloComponent {
    size_t offset = 0;  // of its 0xA1 element in the file
    std::string name;
    uint8_t kind = 0;
    std::optional<uint8_t> flags;
    uint32_t address = 0;
    size_t dataOffset = 0;  // of the data in the file
    size_t dataSize = 0;
    uint16_t storedCrc = 0;
    uint16_t computedCrc = 0;
    bool Common() const { return kind == glo::kCommonKind; }
    bool CrcGood() const { return storedCrc == computedCrc; }
    // The reader type a reader-specific component is for; -1 for a common one.
    int ReaderType() const;
};

enum class GloError : uint8_t {
    None = 0,
    CannotOpen,   // the file cannot be opened or read
    Empty,        // nothing read
    NotGlobal,    // no 0xA0 element, or it does not end at the end of the file, or too large
    Malformed,    // a length past its parent, a missing tag, a value of the wrong width
    BadCrc,       // a component's data does not match its CRC
    TooLarge,     // a component's data is longer than its slot
    NothingKept,  // no slot received any data for the reader type
    CannotWrite,  // the "bin" file cannot be written
};

// Why a file was refused. `text` is the message to show; `caution` asks for the caption
// "CAUTION" with the exclamation icon (the application's title and no icon otherwise). `detail`
// says where the fault lies (offsets, names), for tools and logs; it is already part of `text`
// for the faults whose text is not fixed.
struct GloRefusal {
    GloError error = GloError::None;
    size_t offset = 0;
    std::string text;
    bool caution = false;
    std::string detail;
};

// The components of a global file, checked for structure but not for their CRCs. On a refusal
// `components` holds those read before the fault.
struct GloContents {
    std::vector<GloComponent> components;
    GloRefusal refusal;
    // The 0xA1 elements of the file, read or not: on a refusal more than `components` holds.
    // `countComplete` is false when the walk could not reach the end of the 0xA0 element, which
    // then holds at least that many.
    size_t componentCount = 0;
    bool countComplete = true;
    // On a refusal inside a component: its place among the 0xA1 elements, from 0.
    std::optional<size_t> refusedComponent;
    bool Ok() const { return refusal.error == GloError::None; }
};

// `fileName` only names the file in messages.
GloContents ReadGlobalFile(const std::string& fileName, const uint8_t* bytes, size_t size);

// What the extraction checks whatever the reader type: the structure and every component's CRC.
// The refusal, if any (error None when the file is sound); only the choice of the parts, and
// whether the reader type gets any, remain to be judged once the type is known.
GloRefusal CheckGlobalFile(const std::string& fileName, const uint8_t* bytes, size_t size);
// The same for the file at `globalPath`, read whole.
GloRefusal CheckGlobalFileAt(const std::string& globalPath);

// The refusal as one line for a terminal or a log: its text, then where the fault lies when the
// text does not say, and the file's name first when the text does not name it ("CRC Error!").
std::string RefusalLine(const GloRefusal& refusal, const std::string& fileName);

// The flash image for one reader type: the first L bytes of the laid-out 4 MiB image (L = end
// of the last non-empty slot placed + 1) and their CRC.
// A component laid out in an image: its name, its load address and its size.
struct GloPart {
    std::string name;
    uint32_t address = 0;
    size_t size = 0;
};

struct GloImage {
    std::vector<uint8_t> image;
    uint16_t crc = 0;
    std::vector<GloPart> parts;  // the components laid out, in the order they were placed
    GloRefusal refusal;
    bool Ok() const { return refusal.error == GloError::None; }
};

GloImage ExtractImage(const std::string& fileName, const uint8_t* bytes, size_t size,
                      int readerType);

// The "bin" file's name: the global file's name with its last three characters replaced by
// "bin".
std::string BinPathFor(const std::string& globalPath);

// Writes the CRC (least significant byte first) and the image as the file `path`, whole or not at
// all, readable by all (mode 0644). On failure nothing is left behind; the error's message is the
// text to show ("Impossible to write PATH: REASON. ...") and its detail the reason alone.
korvel::base::Expected<void> WriteBinFile(const std::string& path, const GloImage& image);

// The whole extraction: reads the global file, extracts the image for `readerType` and writes
// the "bin" file beside it. On success `binPath` names the file written.
struct GloExtraction {
    std::string binPath;
    GloImage image;  // what was written after the CRC, and the components in it
    GloRefusal refusal;
    bool Ok() const { return refusal.error == GloError::None; }
};
GloExtraction ExtractGlobalFile(const std::string& globalPath, int readerType);
// The same, writing the "bin" file to `binPath`.
GloExtraction ExtractGlobalFileTo(const std::string& globalPath, int readerType,
                                  const std::string& binPath);

// Building global files (for `cordane mkglo` and the tests).
struct GloComponentSpec {
    uint8_t kind = glo::kCommonKind;
    std::optional<uint8_t> flags;  // written only when present
    uint32_t address = 0;
    std::string name;
    std::vector<uint8_t> data;
    std::optional<uint16_t> crc;  // the CRC to store; the data's own when absent
};

// Encodes a length: the short form below 0x80, else the shortest long form; `longForm` forces
// the long form with 4 length bytes.
std::vector<uint8_t> EncodeGloLength(size_t length, bool longForm = false);
// One element.
std::vector<uint8_t> EncodeGloElement(uint8_t tag, const std::vector<uint8_t>& value,
                                      bool longForm = false);
// A whole file: an 0xA0 element holding one 0xA1 element per component, tags in the order
// 0x80, 0x81, 0x82, 0x83, 0x85, 0x86.
std::vector<uint8_t> BuildGlobalFile(const std::vector<GloComponentSpec>& components,
                                     bool longForm = false);

// A component given on a command line as "kind:flags:address:name=datafile": kind and flags are
// numbers (decimal or 0x...), flags may be empty (no reader flags written), the address is a
// number, the name is the component name and the data file the path its data come from. The
// data are not read. Refused (Cause::BadInput, the message quoting the text and showing the form)
// when the text does not have that form.
struct ComponentArgument {
    GloComponentSpec spec;  // without its data
    std::string dataPath;
};
korvel::base::Expected<ComponentArgument> ParseComponentArgument(const std::string& text);

}  // namespace korvel::kit

#endif
