#include "kit/global_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/crc16.h"
#include "base/hex.h"
#include "base/read_file.h"
#include "base/replace_file.h"
#include "cordane/readers.h"

namespace korvel::kit {

namespace {

// Where each component goes in the flash image: the reader table's slots (cordane/readers.h).
using Slot = cordane::GlobalSlot;
constexpr const auto& kSlots = cordane::kGlobalSlots;
constexpr size_t kSlotCount = kSlots.size();
// Slots by number (1 to 7) as the layout names them.
constexpr size_t kSlot1 = 0, kSlot2 = 1, kSlot3 = 2, kSlot4 = 3, kSlot5 = 4, kSlot6 = 5, kSlot7 = 6;
constexpr size_t kBlankStart = cordane::kGlobalBlankStart, kBlankEnd = cordane::kGlobalBlankEnd;

const Slot* SlotFor(bool common, uint32_t address, size_t* index) {
    for (size_t i = 0; i < kSlots.size(); ++i) {
        if (kSlots[i].common == common && kSlots[i].address == address) {
            *index = i;
            return &kSlots[i];
        }
    }
    return nullptr;
}

using korvel::base::HexNumber;

// How the system words a folder found where a file was wanted.
constexpr char kIsDirectory[] = "Is a directory";

const char* TagName(uint8_t tag) {
    switch (tag) {
        case glo::kCrcTag:
            return "CRC";
        case glo::kNameTag:
            return "name";
        case glo::kKindTag:
            return "kind";
        case glo::kFlagsTag:
            return "reader flags";
        case glo::kAddressTag:
            return "load address";
        case glo::kDataTag:
            return "data";
        default:
            return "element";
    }
}

std::string NotValid(const std::string& fileName) {
    return "The file " + fileName + " is not a valid Binary Global File";
}

GloRefusal Refuse(GloError error, size_t offset, std::string text, bool caution,
                  std::string detail) {
    return GloRefusal{error, offset, std::move(text), caution, std::move(detail)};
}

// A fault in the file's structure that the fixed messages do not cover: the fixed text, then
// where and what, then what to do.
GloRefusal Malformed(const std::string& fileName, size_t offset, const std::string& detail) {
    return Refuse(GloError::Malformed, offset,
                  NotValid(fileName) + ": " + detail + ". Rebuild the global file and try again.",
                  true, detail);
}

std::string ComponentPlace(size_t offset) {
    return "the component at byte " + std::to_string(offset);
}

uint32_t LittleEndian(const uint8_t* bytes, size_t n) {
    uint32_t value = 0;
    for (size_t i = n; i-- > 0;) value = (value << 8) | bytes[i];
    return value;
}

// Reads the component whose value is [begin, end). Every sibling is walked, so a length that runs
// past the component is found wherever it is; the first element of each tag is the one taken.
GloRefusal ReadComponent(const std::string& fileName, const uint8_t* bytes, const GloElement& a1,
                         GloComponent* component) {
    constexpr std::array<uint8_t, 6> kTags{glo::kCrcTag,   glo::kNameTag,    glo::kKindTag,
                                           glo::kFlagsTag, glo::kAddressTag, glo::kDataTag};
    std::array<std::optional<GloElement>, kTags.size()> found;
    for (size_t position = a1.valueOffset; position < a1.End();) {
        GloElement element;
        if (!ReadElement(bytes, position, a1.End(), &element)) {
            return Malformed(fileName, position,
                             "the element at byte " + std::to_string(position) + " in " +
                                 ComponentPlace(a1.offset) + " runs past the end of the component");
        }
        for (size_t i = 0; i < kTags.size(); ++i) {
            if (kTags[i] == element.tag && !found[i]) found[i] = element;
        }
        position = element.End();
    }
    component->offset = a1.offset;
    auto need = [&](size_t i, size_t minWidth, size_t maxWidth) -> std::optional<GloRefusal> {
        if (!found[i]) {
            return Malformed(fileName, a1.offset,
                             ComponentPlace(a1.offset) + " has no " + TagName(kTags[i]) + " (tag " +
                                 HexNumber(kTags[i], 2) + ")");
        }
        const size_t width = found[i]->length;
        if (width < minWidth || width > maxWidth) {
            const std::string expected = minWidth == maxWidth
                                             ? std::to_string(minWidth)
                                             : "at most " + std::to_string(maxWidth);
            return Malformed(fileName, found[i]->offset,
                             "the " + std::string(TagName(kTags[i])) + " of " +
                                 ComponentPlace(a1.offset) + " (byte " +
                                 std::to_string(found[i]->offset) + ") is " +
                                 std::to_string(width) + " bytes long instead of " + expected);
        }
        return std::nullopt;
    };
    // Tag index, narrowest and widest value: CRC, name, kind, load address, data.
    constexpr std::array<std::array<size_t, 3>, 5> kWidths{
        {{0, 2, 2}, {1, 0, glo::kMaxName}, {2, 1, 1}, {4, 4, 4}, {5, 0, glo::kMaxFile}}};
    for (const auto& [index, low, high] : kWidths) {
        if (auto refusal = need(index, low, high)) return *refusal;
    }
    const uint8_t* base = bytes;
    component->storedCrc = static_cast<uint16_t>(LittleEndian(base + found[0]->valueOffset, 2));
    component->name.assign(reinterpret_cast<const char*>(base + found[1]->valueOffset),
                           found[1]->length);
    component->kind = base[found[2]->valueOffset];
    component->address = LittleEndian(base + found[4]->valueOffset, 4);
    component->dataOffset = found[5]->valueOffset;
    component->dataSize = found[5]->length;
    if (!component->Common()) {
        if (auto refusal = need(3, 1, 1)) return *refusal;
    }
    if (found[3] && found[3]->length == 1) component->flags = base[found[3]->valueOffset];
    component->computedCrc =
        korvel::base::Crc16X25(base + component->dataOffset, component->dataSize);

    if (const SlotPlace place =
            PlaceOf(component->Common(), component->address, component->dataSize);
        place.fit == SlotFit::TooLarge) {
        const std::string detail =
            ComponentPlace(a1.offset) + " (\"" + component->name + "\", load address " +
            HexNumber(component->address, 6) + ") holds " + std::to_string(component->dataSize) +
            " bytes, more than the " + std::to_string(place.capacity) + " bytes of its place";
        return Refuse(
            GloError::TooLarge, a1.offset,
            NotValid(fileName) + ": " + detail + ". Rebuild the global file and try again.", true,
            detail);
    }
    return {};
}

// The first component whose data do not give its CRC: the file is refused whichever reader
// type it is cut for.
GloRefusal FirstBadCrc(const std::vector<GloComponent>& components) {
    for (const GloComponent& component : components) {
        if (!component.CrcGood()) {
            return Refuse(GloError::BadCrc, component.offset, "CRC Error!", false,
                          ComponentPlace(component.offset) + " (\"" + component.name +
                              "\") holds CRC " + HexNumber(component.storedCrc, 4) +
                              " but its data give " + HexNumber(component.computedCrc, 4));
        }
    }
    return {};
}

std::string ReaderTypeText(int readerType) {
    return std::to_string(readerType) + " (" +
           cordane::ReaderName(static_cast<eReaderType>(readerType)) + ")";
}

// The whole components of a cut file, whose 0xA0 element at `offset` runs past `size`: those
// before the cut, the count incomplete.
void CountCutComponents(const uint8_t* bytes, size_t offset, size_t size, GloContents* contents) {
    contents->countComplete = false;
    if (size - offset < 2) return;
    size_t position = offset + 2;
    if (bytes[offset + 1] >= 0x80) position += bytes[offset + 1] & 0x7F;
    GloElement element;
    while (position < size && ReadElement(bytes, position, size, &element)) {
        contents->componentCount += element.tag == glo::kComponentTag;
        position = element.End();
    }
}

}  // namespace

uint32_t ReadBigEndianLength(const uint8_t* bytes, size_t n) {
    uint32_t value = 0;
    for (size_t i = 0; i < n; ++i) value = (value << 8) | bytes[i];  // higher bytes shift out
    return value;
}

bool ReadElement(const uint8_t* bytes, size_t offset, size_t end, GloElement* element) {
    if (offset >= end || end - offset < 2) return false;
    element->tag = bytes[offset];
    element->offset = offset;
    const uint8_t first = bytes[offset + 1];
    size_t position = offset + 2;
    size_t length = first;
    if (first >= 0x80) {
        const size_t n = first & 0x7F;
        if (end - position < n) return false;
        length = ReadBigEndianLength(bytes + position, n);
        position += n;
    }
    if (end - position < length) return false;
    element->valueOffset = position;
    element->length = length;
    return true;
}

TagSearch FindTag(const uint8_t* bytes, size_t begin, size_t end, uint8_t tag, GloElement* element,
                  size_t* faultOffset) {
    for (size_t position = begin; position < end;) {
        GloElement sibling;
        if (!ReadElement(bytes, position, end, &sibling)) {
            *faultOffset = position;
            return TagSearch::Malformed;
        }
        if (sibling.tag == tag) {
            *element = sibling;
            return TagSearch::Found;
        }
        position = sibling.End();
    }
    return TagSearch::Absent;
}

int ReaderTypeOfComponent(uint8_t flags, const std::string& name) {
    const bool bit3 = (flags & 0x08) != 0;
    const bool bit4 = (flags & 0x10) != 0;
    const bool bit6 = (flags & 0x40) != 0;
    const bool large = name.compare(0, 13, glo::kLargeNamePrefix) == 0;
    if (!bit3) return bit4 ? KvTal1Mb : KvTal512;
    if (!bit4) return large ? KvLarge8 : KvOrb512;
    if (!bit6) return KvQuin3;
    return large ? KvLarge9 : KvOrb1Mb;
}

SlotPlace PlaceOf(bool common, uint32_t address, size_t size) {
    size_t index = 0;
    const Slot* slot = SlotFor(common, address, &index);
    if (slot == nullptr) return {};
    return {size > slot->capacity ? SlotFit::TooLarge : SlotFit::Fits, slot->capacity};
}

int GloComponent::ReaderType() const {
    if (Common()) return -1;
    return ReaderTypeOfComponent(flags.value_or(0), name);
}

GloContents ReadGlobalFile(const std::string& fileName, const uint8_t* bytes, size_t size) {
    GloContents contents;
    if (size == 0) {
        contents.refusal = Refuse(GloError::Empty, 0, fileName + " is empty", false, "");
        return contents;
    }
    if (size > glo::kMaxFile) {
        const std::string detail = "it is " + std::to_string(size) +
                                   " bytes long, more than the 4 MiB a global file may hold";
        contents.refusal = Refuse(GloError::NotGlobal, glo::kMaxFile,
                                  NotValid(fileName) + ": " + detail + ".", true, detail);
        return contents;
    }
    GloElement file;
    size_t fault = 0;
    switch (FindTag(bytes, 0, size, glo::kFileTag, &file, &fault)) {
        case TagSearch::Found:
            break;
        case TagSearch::Absent:
            contents.refusal =
                Refuse(GloError::NotGlobal, size, NotValid(fileName), true, "no 0xA0 element");
            return contents;
        case TagSearch::Malformed:
            if (bytes[fault] == glo::kFileTag) {
                // The 0xA0 element itself runs past the end: it does not end at the end.
                contents.refusal = Refuse(GloError::NotGlobal, fault, NotValid(fileName), true,
                                          "the 0xA0 element at byte " + std::to_string(fault) +
                                              " runs past the end of the file");
                CountCutComponents(bytes, fault, size, &contents);
            } else {
                contents.refusal =
                    Malformed(fileName, fault,
                              "the element at byte " + std::to_string(fault) + " (tag " +
                                  HexNumber(bytes[fault], 2) +
                                  ") runs past the end of the file before any 0xA0 element");
            }
            return contents;
    }
    if (file.End() != size) {
        contents.refusal =
            Refuse(GloError::NotGlobal, file.End(), NotValid(fileName), true,
                   "the 0xA0 element at byte " + std::to_string(file.offset) + " ends at byte " +
                       std::to_string(file.End()) + ", not at the end of the file (" +
                       std::to_string(size) + " bytes)");
    }
    // Elements other than components inside 0xA0 are stepped over, as unknown tags are anywhere.
    // After a refusal the walk goes on only to count the components.
    for (size_t position = file.valueOffset; position < file.End();) {
        GloElement element;
        if (!ReadElement(bytes, position, file.End(), &element)) {
            contents.countComplete = false;
            if (contents.Ok()) {
                contents.refusal = Malformed(fileName, position,
                                             "the element at byte " + std::to_string(position) +
                                                 " (tag " + HexNumber(bytes[position], 2) +
                                                 ") runs past the end of the 0xA0 element");
            }
            return contents;
        }
        position = element.End();
        if (element.tag != glo::kComponentTag) continue;
        ++contents.componentCount;
        if (!contents.Ok()) continue;
        GloComponent component;
        contents.refusal = ReadComponent(fileName, bytes, element, &component);
        if (contents.Ok()) {
            contents.components.push_back(std::move(component));
        } else {
            contents.refusedComponent = contents.componentCount - 1;
        }
    }
    return contents;
}

GloRefusal CheckGlobalFile(const std::string& fileName, const uint8_t* bytes, size_t size) {
    GloContents contents = ReadGlobalFile(fileName, bytes, size);
    if (!contents.Ok()) return std::move(contents.refusal);
    return FirstBadCrc(contents.components);
}

std::string RefusalLine(const GloRefusal& refusal, const std::string& fileName) {
    std::string line = refusal.text;
    if (!refusal.detail.empty() && line.find(refusal.detail) == std::string::npos) {
        line += " (" + refusal.detail + ")";
    }
    if (line.find(fileName) == std::string::npos) line.insert(0, fileName + ": ");
    return line;
}

GloImage ExtractImage(const std::string& fileName, const uint8_t* bytes, size_t size,
                      int readerType) {
    GloImage out;
    GloContents contents = ReadGlobalFile(fileName, bytes, size);
    if (!contents.Ok()) {
        out.refusal = std::move(contents.refusal);
        return out;
    }
    // Every CRC first, kept or not.
    out.refusal = FirstBadCrc(contents.components);
    if (!out.Ok()) return out;
    // Which component fills each slot; a later one replaces an earlier one.
    std::array<const GloComponent*, kSlotCount> filled{};
    bool slot6Mark = false;
    for (const GloComponent& component : contents.components) {
        if (!component.Common() && component.ReaderType() != readerType) continue;
        size_t index = 0;
        if (!SlotFor(component.Common(), component.address, &index)) continue;
        filled[index] = &component;
        if (index == kSlot6) slot6Mark = true;
    }

    // The flash image is 4 MiB preset to 0xFF, but only the bytes up to the furthest placement
    // (and the one after it) can reach the "bin" file: only those are made.
    size_t extent = kBlankEnd;
    for (size_t index = 0; index < kSlotCount; ++index) {
        if (filled[index]) {
            extent = std::max(extent, kSlots[index].offset + filled[index]->dataSize + 1);
        }
    }
    std::vector<uint8_t>& image = out.image;
    image.reserve(extent + 2);  // room for the CRC in front when a caller puts it there
    image.assign(std::min(extent, glo::kImageSize), 0xFF);
    size_t end = 0;
    auto place = [&](size_t index, bool movesEnd) {
        const GloComponent* component = filled[index];
        if (!component || component->dataSize == 0) return;
        const size_t offset = kSlots[index].offset;
        std::memcpy(image.data() + offset, bytes + component->dataOffset, component->dataSize);
        out.parts.push_back({component->name, component->address, component->dataSize});
        if (movesEnd) end = offset + component->dataSize;
    };
    place(kSlot1, true);
    place(kSlot2, true);
    place(kSlot3, true);  // may run past the next offsets, which then overwrite it
    place(kSlot4, true);
    std::fill(image.begin() + kBlankStart, image.begin() + kBlankEnd, 0xFF);
    place(kSlot5, !slot6Mark);
    if (slot6Mark) place(kSlot6, true);
    place(kSlot7, true);
    if (end == 0) {
        image.clear();
        out.parts.clear();
        const std::string detail = "no component for reader type " + ReaderTypeText(readerType);
        out.refusal = Refuse(GloError::NothingKept, size,
                             "The file " + fileName + " holds nothing for the reader type " +
                                 ReaderTypeText(readerType) +
                                 ". Choose the global file made for this reader.",
                             true, detail);
        return out;
    }
    // One byte more than the last slot placed (normally a 0xFF).
    image.resize(end + 1);
    out.crc = korvel::base::Crc16X25(image.data(), image.size());
    return out;
}

std::string BinPathFor(const std::string& globalPath) {
    if (globalPath.size() < 3) return globalPath + ".bin";
    return globalPath.substr(0, globalPath.size() - 3) + "bin";
}

korvel::base::Expected<void> WriteBinFile(const std::string& path, const GloImage& image) {
    std::vector<uint8_t> bytes;
    bytes.reserve(2 + image.image.size());
    bytes.push_back(static_cast<uint8_t>(image.crc));
    bytes.push_back(static_cast<uint8_t>(image.crc >> 8));
    bytes.insert(bytes.end(), image.image.begin(), image.image.end());
    // Readable by all whatever the umask, and whether the file is new or not.
    korvel::base::Expected<void> written =
        korvel::base::ReplaceWholeFile(path, bytes, {.forcedMode = 0644});
    if (written) return {};
    korvel::base::Error error = std::move(written).error();
    // The system's own words where it gave some; a folder in the way is refused before anything
    // is written, and said as the system says it.
    error.detail = error.cause == korvel::base::Cause::IsDirectory ? kIsDirectory
                   : error.detail.empty()                          ? error.message
                                                                   : error.detail;
    error.message = "Impossible to write " + path + ": " + error.detail +
                    ". Check that its folder exists, is writable and has room, then try again.";
    error.hint.clear();
    return error;
}

GloExtraction ExtractGlobalFile(const std::string& globalPath, int readerType) {
    return ExtractGlobalFileTo(globalPath, readerType, BinPathFor(globalPath));
}

namespace {

// The global file's bytes, at most one more than a global file may hold (to tell a file that is
// too long); on failure the refusal says why. A FIFO or a device is read as a file is.
GloRefusal ReadWholeFile(const std::string& globalPath, std::vector<uint8_t>& bytes) {
    korvel::base::Expected<korvel::base::FileBytes> read = korvel::base::ReadWholeFile(
        globalPath, {.limit = glo::kMaxFile + 1,
                     .overLimit = korvel::base::OverLimit::KeepBeginning,
                     .regularOnly = false});
    if (!read) {
        bytes.clear();
        const korvel::base::Error& error = read.error();
        // A folder is refused before it is read; said as the system says a read of one.
        std::string detail = error.cause == korvel::base::Cause::IsDirectory ? kIsDirectory
                             : error.detail.empty()                          ? error.message
                                                                             : error.detail;
        return Refuse(GloError::CannotOpen, 0, "Impossible to open " + globalPath, false,
                      std::move(detail));
    }
    bytes = std::move(read->bytes);
    return {};
}

}  // namespace

GloRefusal CheckGlobalFileAt(const std::string& globalPath) {
    std::vector<uint8_t> bytes;
    GloRefusal refusal = ReadWholeFile(globalPath, bytes);
    if (refusal.error != GloError::None) return refusal;
    return CheckGlobalFile(globalPath, bytes.data(), bytes.size());
}

GloExtraction ExtractGlobalFileTo(const std::string& globalPath, int readerType,
                                  const std::string& binPath) {
    GloExtraction out;
    std::vector<uint8_t> bytes;
    out.refusal = ReadWholeFile(globalPath, bytes);
    if (!out.Ok()) return out;
    out.image = ExtractImage(globalPath, bytes.data(), bytes.size(), readerType);
    if (!out.image.Ok()) {
        out.refusal = std::move(out.image.refusal);
        return out;
    }
    if (korvel::base::Expected<void> written = WriteBinFile(binPath, out.image); !written) {
        const korvel::base::Error& error = written.error();
        out.refusal = Refuse(GloError::CannotWrite, 0, error.message, false, error.detail);
        return out;
    }
    out.binPath = binPath;
    return out;
}

std::vector<uint8_t> EncodeGloLength(size_t length, bool longForm) {
    if (length < 0x80 && !longForm) return {static_cast<uint8_t>(length)};
    std::vector<uint8_t> digits;
    for (size_t value = length; value != 0; value >>= 8) {
        digits.insert(digits.begin(), static_cast<uint8_t>(value));
    }
    if (longForm) {
        while (digits.size() < 4) digits.insert(digits.begin(), 0);
    }
    std::vector<uint8_t> out{static_cast<uint8_t>(0x80 | digits.size())};
    out.insert(out.end(), digits.begin(), digits.end());
    return out;
}

std::vector<uint8_t> EncodeGloElement(uint8_t tag, const std::vector<uint8_t>& value,
                                      bool longForm) {
    std::vector<uint8_t> out{tag};
    const auto length = EncodeGloLength(value.size(), longForm);
    out.insert(out.end(), length.begin(), length.end());
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

std::vector<uint8_t> BuildGlobalFile(const std::vector<GloComponentSpec>& components,
                                     bool longForm) {
    std::vector<uint8_t> body;
    for (const GloComponentSpec& spec : components) {
        const uint16_t crc =
            spec.crc.value_or(korvel::base::Crc16X25(spec.data.data(), spec.data.size()));
        std::vector<uint8_t> value;
        auto add = [&](uint8_t tag, const std::vector<uint8_t>& bytes) {
            const auto element = EncodeGloElement(tag, bytes, longForm);
            value.insert(value.end(), element.begin(), element.end());
        };
        add(glo::kCrcTag, {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)});
        add(glo::kNameTag, std::vector<uint8_t>(spec.name.begin(), spec.name.end()));
        add(glo::kKindTag, {spec.kind});
        if (spec.flags) add(glo::kFlagsTag, {*spec.flags});
        add(glo::kAddressTag,
            {static_cast<uint8_t>(spec.address), static_cast<uint8_t>(spec.address >> 8),
             static_cast<uint8_t>(spec.address >> 16), static_cast<uint8_t>(spec.address >> 24)});
        add(glo::kDataTag, spec.data);
        const auto component = EncodeGloElement(glo::kComponentTag, value, longForm);
        body.insert(body.end(), component.begin(), component.end());
    }
    return EncodeGloElement(glo::kFileTag, body, longForm);
}

korvel::base::Expected<ComponentArgument> ParseComponentArgument(const std::string& text) {
    auto refuse = [&](const std::string& why) {
        return korvel::base::Error(korvel::base::kFailureCode,
                                   "The component \"" + text + "\" " + why +
                                       ". Give it as kind:flags:address:name=datafile, e.g. "
                                       "2:0x48:0x4720:APP.SRE=app.bin.",
                                   {}, korvel::base::Cause::BadInput);
    };
    std::array<std::string, 3> fields;
    size_t position = 0;
    for (std::string& field : fields) {
        const size_t colon = text.find(':', position);
        if (colon == std::string::npos) return refuse("has fewer than four fields");
        field = text.substr(position, colon - position);
        position = colon + 1;
    }
    const size_t equals = text.find('=', position);
    if (equals == std::string::npos) return refuse("names no data file (=datafile)");
    auto number = [](const std::string& field, uint64_t limit, uint64_t* value) {
        if (field.empty() || field[0] == '-' || field[0] == '+') return false;
        errno = 0;
        char* end = nullptr;
        *value = std::strtoull(field.c_str(), &end, 0);
        return errno == 0 && end && *end == '\0' && *value <= limit;
    };
    ComponentArgument out;
    GloComponentSpec& spec = out.spec;
    uint64_t value = 0;
    if (!number(fields[0], 0xFF, &value)) return refuse("has a kind that is not a number 0 to 255");
    spec.kind = static_cast<uint8_t>(value);
    if (!fields[1].empty()) {
        if (!number(fields[1], 0xFF, &value)) {
            return refuse("has flags that are not a number 0 to 255");
        }
        spec.flags = static_cast<uint8_t>(value);
    }
    if (!number(fields[2], 0xFFFFFFFF, &value)) {
        return refuse("has an address that is not a 32-bit number");
    }
    spec.address = static_cast<uint32_t>(value);
    spec.name = text.substr(position, equals - position);
    if (spec.name.size() > glo::kMaxName) return refuse("has a name longer than 256 bytes");
    out.dataPath = text.substr(equals + 1);
    if (out.dataPath.empty()) return refuse("names no data file (=datafile)");
    return out;
}

}  // namespace korvel::kit
