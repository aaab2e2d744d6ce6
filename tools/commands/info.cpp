// cordane info: what a download would see in a file, without a reader. For an S-record file, the
// image of every large-reader region and the 64 Kb readers' image; for a binary download file,
// its regions, application number and identity, deciphered first when it is enciphered. Both
// with the blocks a large-reader download would send or skip as blank.
#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/hex.h"
#include "base/json_writer.h"
#include "base/read_file.h"
#include "base/text.h"
#include "cli/arguments.h"
#include "cli/download_options.h"
#include "cli/key_options.h"
#include "cli/user_files.h"
#include "commands.h"
#include "cordane/formats/binary_image.h"
#include "cordane/formats/cipher.h"
#include "cordane/formats/large_images.h"
#include "cordane/formats/large_layout.h"
#include "cordane/formats/large_plan.h"
#include "cordane/formats/srec.h"
#include "cordane/protocol.h"

namespace cordane::tools {

using korvel::base::JsonWriter;

namespace {

using namespace large;

constexpr size_t kFirstDroppedOffset = 0xF000 - kAppStart;  // 0xF000-0xFFFF is never written
constexpr size_t kDroppedLength = 0x1000;

constexpr char kHelp[] =
    "usage: cordane info FILE [--enciphered] [--key-selector N | --key HEX16] [--json]\n"
    "\n"
    "Shows what a download would see in FILE, without a reader.\n"
    "\n"
    "FILE.sre, an S-record file: for each region of the large readers (driver library low part\n"
    "0x4000-0xDFFF, the overlay 0x4300-0x471F laid over it, driver library high part\n"
    "0x70000-0x7FFFF, application 0xD000-0x7FFFF, upper application 0x100000-0x17FFFF), the image\n"
    "converted from the file's records in that window, or \"no records\", and the 255-byte\n"
    "blocks a download would send or skip as blank; then the 64 Kb readers' image from 0x2000.\n"
    "A record the conversion refuses is named by its byte offset and address, and the other\n"
    "regions are shown all the same. Only the first 4 MB of the file (262,144 bytes for the\n"
    "64 Kb readers) are read, as the engine reads them.\n"
    "\n"
    "FILE.glo, a Binary Global File: its components, each with its name, kind, reader flags,\n"
    "the reader type it is for (or common), load address, size and whether its CRC is good.\n"
    "\n"
    "Any other file is a binary download file (download types 1 and 2): its size, whether the\n"
    "large readers' layout takes it, its regions (driver library at 0x4000, application from\n"
    "0xE000, upper application from 0x100000) with the blocks sent or skipped as blank, its\n"
    "application number and its identity. A \"*.kor\" file is enciphered: its 4,096 bytes at\n"
    "offset 0xA002 are deciphered first, as in download type 1.\n"
    "\n"
    "  --enciphered      decipher the file whatever its name\n"
    "  --key-selector N  the base key: 0 base key A (default), 1 base key B; with --key, any\n"
    "                    other number (the selector the key is registered under for a download)\n"
    "  --key HEX16       an 8-byte base key given as 16 hexadecimal digits\n"
    "  --json            one JSON object on standard output, for scripts\n"
    "A key given makes the file count as enciphered.\n"
    "\n"
    "Exit codes: 0 shown; 1 FILE unreadable, refused by the binary layout, a global file\n"
    "malformed or holding a bad CRC, or refused by every\n"
    "reader (an S-record file that neither a large reader nor a 64 Kb reader would take);\n"
    "2 bad command line.\n";

int Usage(std::string_view problem) {
    return ReportUsage("info", problem,
                       "FILE [--enciphered] [--key-selector N | --key HEX16] [--json]");
}

using korvel::base::FileBytes;
using korvel::base::GroupDigits;
using korvel::base::HexNumber;

// "1 byte", "4,096 bytes".
std::string Count(uint64_t number, const char* unit) {
    return GroupDigits(number) + " " + unit + (number == 1 ? "" : "s");
}

// Whether the name ends in `end` (".sre"), in any case.
bool EndsWith(std::string_view name, std::string_view end) {
    return name.size() >= end.size() &&
           korvel::base::EqualIgnoringCase(name.substr(name.size() - end.size()), end);
}

// ---- What is shown

// One region of the reader's address space, as a download would fill it.
struct RegionView {
    std::string name;   // "driver, low"
    std::string id;     // "driver-low", for JSON
    uint32_t from = 0;  // the addresses the region may hold: [from, to]
    uint32_t to = 0;
    uint32_t start = 0;                  // first address shown of the image
    size_t length = 0;                   // bytes shown from `start`; 0: nothing there
    std::optional<std::string> refused;  // the conversion's refusal
    bool planned = false;                // the block counts are known
    size_t sent = 0;
    size_t skipped = 0;
    std::vector<std::string> notes;
};

// A region of addresses [from, end) with nothing in it yet, shown from its first address.
RegionView EmptyRegion(const char* name, const char* id, uint32_t from, uint32_t end) {
    RegionView view;
    view.name = name;
    view.id = id;
    view.from = from;
    view.to = end - 1;
    view.start = from;
    return view;
}

// Counts the blocks of a region's plan.
void CountBlocks(Region region, const uint8_t* image, size_t length, RegionView& view) {
    const RegionPlan plan = PlanRegion(region, image, length, 0, 0);
    view.planned = true;
    for (const PlannedBlock& block : plan.blocks) (block.send ? view.sent : view.skipped)++;
}

// Data in 0xF000-0xFFFF of an application image is dropped by every download.
void NoteDroppedRange(const uint8_t* image, size_t length, RegionView& view) {
    if (length <= kFirstDroppedOffset) return;
    const size_t span = std::min(length - kFirstDroppedOffset, kDroppedLength);
    if (!IsBlank(image + kFirstDroppedOffset, span)) {
        view.notes.push_back(
            "holds data at 0xF000-0xFFFF, which a download never writes: move it in the "
            "application's link map");
    }
}

std::string RegionText(const RegionView& view, const char* empty) {
    if (view.refused) return "refused: " + *view.refused;
    if (view.length == 0) return empty;
    std::string text = HexNumber(view.start) + "-" + HexNumber(view.start + view.length - 1) +
                       ", " + Count(view.length, "byte");
    if (view.planned) {
        text += "; " + Count(view.sent + view.skipped, "block") + ": " + GroupDigits(view.sent) +
                " sent, " + GroupDigits(view.skipped) + " skipped as blank";
    }
    return text;
}

// A region's line, and a line for each note under its image column.
void PrintRegion(const RegionView& view, const char* empty) {
    const std::string window = HexNumber(view.from) + "-" + HexNumber(view.to);
    std::printf("  %-14s %-19s %s\n", view.name.c_str(), window.c_str(),
                RegionText(view, empty).c_str());
    for (const std::string& note : view.notes) std::printf("%37s%s\n", "", note.c_str());
}

void PrintRegionHeading() {
    std::printf("  %-14s %-19s %s\n", "region", "addresses", "image");
}

void RegionJson(JsonWriter& json, const RegionView& view) {
    json.BeginObject().Key("region").String(view.id);
    json.Key("from").Number(view.from).Key("to").Number(view.to);
    if (view.refused) {
        json.Key("refused").String(*view.refused).EndObject();
        return;
    }
    json.Key("start").Number(view.start).Key("length").Number(static_cast<int64_t>(view.length));
    if (view.planned) {
        json.Key("sent").Number(static_cast<int64_t>(view.sent));
        json.Key("skipped").Number(static_cast<int64_t>(view.skipped));
    }
    json.Key("notes").BeginArray();
    for (const std::string& note : view.notes) json.String(note);
    json.EndArray().EndObject();
}

void RegionsJson(JsonWriter& json, const std::vector<RegionView>& views) {
    json.BeginArray();
    for (const RegionView& view : views) RegionJson(json, view);
    json.EndArray();
}

// Prints a whole JSON object as one line of standard output.
void PrintJson(const JsonWriter& json) {
    std::fputs((json.text() + "\n").c_str(), stdout);
}

// ---- S-record files

// The windows of an S-record file a large-reader download converts: each region's, and the
// overlay laid over the driver's low part.
struct Window {
    const char* name;
    const char* id;
    Region region;
    uint32_t lower, upper;
    bool overlay;  // laid over the driver's low part: sent within that region
};

Window WindowOf(Region region) {
    const RegionFacts& facts = RegionFactsOf(region);
    return {facts.label, facts.id, region, facts.start, facts.end, false};
}

// In the order shown: by address, the overlay after the region it is laid over.
const Window kWindows[] = {
    WindowOf(Region::DriverLow),
    {kOverlay.label, kOverlay.id, Region::DriverLow, kOverlay.start, kOverlay.end, true},
    WindowOf(Region::DriverHigh),
    WindowOf(Region::Application),
    WindowOf(Region::Upper),
};

RegionView ConvertRegion(const Window& window, const FileBytes& file, std::vector<uint8_t>& image) {
    RegionView view = EmptyRegion(window.name, window.id, window.lower, window.upper);
    // The overlay lands at its place in the driver's image, whose buffer it shares.
    const size_t capacity =
        window.overlay ? kImageCapacity - (kOverlayStart - kDriverLowStart) : kImageCapacity;
    const size_t textLength = std::min(file.bytes.size(), kFileBufferSize);
    const SrecResult result = ConvertSrecWindow(file.bytes.data(), textLength, image.data(),
                                                capacity, window.lower, window.upper);
    if (result.error != SrecError::None) {
        view.refused = DescribeSrecRefusal(result);
        return view;
    }
    view.length = result.length;
    if (view.length == 0) return view;
    if (window.overlay) {
        view.notes.push_back("sent within the driver library's low part");
        return view;
    }
    CountBlocks(window.region, image.data(), view.length, view);
    if (window.region == Region::Application) NoteDroppedRange(image.data(), view.length, view);
    return view;
}

// The 64 Kb readers' image and whether such a reader would take it.
struct SmallView {
    RegionView image;
    bool takes = false;
};

SmallView ConvertSmall(const FileBytes& file, std::vector<uint8_t>& image) {
    SmallView view;
    view.image = EmptyRegion("image", "image", kPlainStart,
                             static_cast<uint32_t>(kPlainStart + kSmallImageMax));
    const size_t textLength = std::min(file.bytes.size(), kFileTextSize);
    const SrecResult result =
        ConvertSrecPlain(file.bytes.data(), textLength, image.data(), kImageCapacity);
    if (result.error != SrecError::None) {
        view.image.refused = DescribeSrecRefusal(result);
        return view;
    }
    view.image.length = result.length;
    if (result.length < kSmallImageMin) {
        view.image.notes.push_back("nothing to download: a 64 Kb reader needs at least " +
                                   std::to_string(kSmallImageMin) + " bytes from 0x2000");
    } else if (result.length > kSmallImageMax) {
        view.image.notes.push_back("too long: a 64 Kb reader takes at most " +
                                   GroupDigits(kSmallImageMax) + " bytes (0x2000-" +
                                   HexNumber(kPlainStart + kSmallImageMax - 1) + ")");
    } else {
        view.takes = true;
    }
    return view;
}

int ShowSrec(const char* path, const FileBytes& file, bool json) {
    std::vector<uint8_t> image(large::kImageBufferSize);
    std::vector<RegionView> large;
    bool largeTakes = true;
    for (const Window& window : kWindows) {
        large.push_back(ConvertRegion(window, file, image));
        largeTakes = largeTakes && !large.back().refused;
    }
    const SmallView small = ConvertSmall(file, image);
    const bool taken = largeTakes || small.takes;

    if (json) {
        JsonWriter out;
        out.BeginObject().Key("file").String(path).Key("kind").String("srec");
        out.Key("size").Number(static_cast<int64_t>(file.size));
        out.Key("large").BeginObject().Key("takes").Bool(largeTakes).Key("regions");
        RegionsJson(out, large);
        out.EndObject().Key("small").BeginObject().Key("takes").Bool(small.takes).Key("image");
        RegionJson(out, small.image);
        out.EndObject().Key("accepted").Bool(taken).EndObject();
        PrintJson(out);
    } else {
        std::printf("%s: S-record file, %s bytes\n", path, GroupDigits(file.size).c_str());
        std::printf(
            "Large readers, download type 0 (the file as application or driver library):\n");
        PrintRegionHeading();
        for (const RegionView& view : large) PrintRegion(view, "no records");
        if (file.size > kFileBufferSize) {
            std::printf("  (only the first %s bytes are read, as the engine reads them)\n",
                        GroupDigits(kFileBufferSize).c_str());
        }
        std::printf("64 Kb readers, image from 0x2000:\n");
        std::printf("  %s\n", RegionText(small.image, "no records at or above 0x2000").c_str());
        for (const std::string& note : small.image.notes) std::printf("  %s\n", note.c_str());
        if (file.size > kFileTextSize) {
            std::printf("  (only the first %s bytes are read, as the engine reads them)\n",
                        GroupDigits(kFileTextSize).c_str());
        }
    }
    if (!taken) {
        std::fprintf(stderr,
                     "cordane info: %s: no reader would take this file (refused above); rebuild "
                     "it with the reader's tools\n",
                     path);
        return kExitBadInput;
    }
    return kExitOk;
}

// ---- Binary download files

struct KeyUsed {
    std::array<uint8_t, kBaseKeySize> key{};
    std::string name;  // "base key A", "base key B", "the key given"
};

int ShowBinary(const char* path, FileBytes& file, const std::optional<KeyUsed>& key, bool json) {
    if (const auto problem = CheckBinarySize(path, file.size)) {
        if (json) {
            JsonWriter out;
            out.BeginObject().Key("file").String(path).Key("kind").String("binary");
            out.Key("size").Number(static_cast<int64_t>(file.size)).Key("accepted").Bool(false);
            out.Key("problem").String(*problem).EndObject();
            PrintJson(out);
        } else {
            std::printf("%s: binary download file, %s bytes\n  refused: %s\n", path,
                        GroupDigits(file.size).c_str(), problem->c_str());
        }
        return kExitBadInput;
    }
    // Read into the size + slack the engine reads it into: the region deciphered and the fields
    // read lie inside even for the shortest file the layout takes.
    std::vector<uint8_t>& bytes = file.bytes;
    bytes.resize(file.size + kFileSlack, 0);
    if (key &&
        !DecipherImageRegion(bytes.data(), bytes.size(), kFileApp, kEnciphered, key->key.data())) {
        std::fprintf(stderr, "cordane info: %s: the enciphered region does not fit the file\n",
                     path);
        return kExitBadInput;
    }

    // The region images as a download builds them.
    Inputs inputs;
    inputs.downloadType = KV_DOWNLOAD_BINARY;
    inputs.appPath = path;
    inputs.binary = std::span<const uint8_t>(bytes.data(), static_cast<size_t>(file.size));
    auto built = BuildImages(inputs);
    if (const auto* problem = std::get_if<std::string>(&built)) {
        std::fprintf(stderr, "cordane info: %s\n", problem->c_str());
        return kExitBadInput;
    }
    const DownloadImages& images = std::get<DownloadImages>(built);
    std::vector<RegionView> regions;
    const std::vector<uint8_t>& driverImage = images.Of(Region::DriverLow).bytes;
    RegionView driver = EmptyRegion("driver", "driver", kDriverLowStart, kDriverLowEnd);
    driver.length = driverImage.size();
    CountBlocks(Region::DriverLow, driverImage.data(), driver.length, driver);
    regions.push_back(driver);

    // Shown from 0xE000, where the file's application starts; its blocks count from 0xD000.
    const std::vector<uint8_t>& appImage = images.Of(Region::Application).bytes;
    RegionView app = EmptyRegion("application", "application", kAppCodeStart, kAppEnd);
    app.length = appImage.size() - kAppBlankHead;
    CountBlocks(Region::Application, appImage.data(), appImage.size(), app);
    app.notes.push_back("blocks from 0xD000, whose first " + GroupDigits(kAppBlankHead) +
                        " bytes are blank");
    NoteDroppedRange(appImage.data(), appImage.size(), app);
    regions.push_back(app);

    const std::vector<uint8_t>& upperImage = images.Of(Region::Upper).bytes;
    RegionView upper = EmptyRegion("upper", "upper", kUpperStart, kUpperEnd);
    upper.length = upperImage.size();
    if (upper.length > 0) CountBlocks(Region::Upper, upperImage.data(), upper.length, upper);
    regions.push_back(upper);

    bool digits = false;
    const std::string number = AppNumberText(bytes.data(), digits);
    const uint32_t numberValue = FileAppNumber(bytes.data());
    const uint32_t identity = FileIdentity(bytes.data());
    const bool fieldsInFile = file.size >= kFileIdentity + 2;

    if (json) {
        JsonWriter out;
        out.BeginObject().Key("file").String(path).Key("kind").String("binary");
        out.Key("size").Number(static_cast<int64_t>(file.size)).Key("accepted").Bool(true);
        out.Key("enciphered").Bool(key.has_value()).Key("key");
        if (key) {
            out.String(key->name);
        } else {
            out.Null();
        }
        out.Key("regions");
        RegionsJson(out, regions);
        out.Key("appNumber").String(number).Key("appNumberValue").Number(numberValue);
        out.Key("appNumberDigits").Bool(digits).Key("identity").Number(identity);
        out.Key("fieldsInFile").Bool(fieldsInFile).EndObject();
        PrintJson(out);
    } else {
        std::printf("%s: binary download file, %s bytes, taken by the large readers' layout\n",
                    path, GroupDigits(file.size).c_str());
        if (key) {
            std::printf("  enciphered: the %s bytes at offset 0x%zX deciphered with %s\n",
                        GroupDigits(kEnciphered).c_str(), kFileApp, key->name.c_str());
        } else {
            std::printf("  plain (not deciphered)\n");
        }
        PrintRegionHeading();
        for (const RegionView& view : regions) {
            PrintRegion(view, "none: the file ends before offset 0x7C002");
        }
        std::printf("  application number \"%s\" (%u)\n", number.c_str(), numberValue);
        std::printf("  identity 0x%04X\n", identity);
        if (!fieldsInFile) {
            std::printf("  (the file ends before these fields: a download reads them as shown)\n");
        }
    }
    if (const auto warning = AppNumberWarning(path, bytes.data(), key.has_value())) {
        std::fprintf(stderr, "cordane info: %s\n", warning->c_str());
    }
    return kExitOk;
}

}  // namespace

int RunInfo(int argc, char** argv) {
    const char* path = nullptr;
    bool json = false;
    bool enciphered = false;
    KeyChoice choice;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && IsHelpOption(arg)) return PrintHelp(kHelp);
        if (TakeOptionsEnd(arg, options)) continue;
        if (options) {
            const korvel::base::Expected<bool> key = TakeKeyOption(argc, argv, i, choice);
            if (!key) return Usage(key.error().message);
            if (*key) continue;
        }
        if (options && arg == "--json") {
            json = true;
        } else if (options && arg == "--enciphered") {
            enciphered = true;
        } else if (const korvel::base::Expected<void> taken =
                       TakeOperand(argv[i], options, {&path});
                   !taken) {
            return Usage(taken.error().message);
        }
    }
    if (path == nullptr) return Usage("give the file to look at");
    if (const korvel::base::Expected<void> usable = CheckKeyChoice(choice); !usable) {
        return Usage(usable.error().message);
    }

    const std::string_view name = path;
    if (IsGlobalFileName(name)) {
        if (enciphered || choice.selector || choice.key) {
            return Usage(std::string(path) +
                         " is a global file, which is never enciphered: leave out --enciphered, "
                         "--key-selector and --key");
        }
        return ShowGlobalFile(path, json);
    }
    const bool srec = EndsWith(name, ".sre");
    const bool keyGiven = choice.selector || choice.key;
    if (srec && (enciphered || keyGiven)) {
        return Usage(std::string(path) +
                     " is an S-record file, which is never enciphered: leave out --enciphered, "
                     "--key-selector and --key");
    }
    std::optional<KeyUsed> key;
    if (!srec && (enciphered || keyGiven || EndsWith(name, ".kor"))) {
        KeyUsed used;
        if (choice.key) {
            used.key = *choice.key;
            used.name = "the key given";
        } else {
            const uint32_t selector = choice.selector.value_or(kBaseKeyA);
            if (!BuiltInBaseKey(selector, used.key.data())) {
                return Usage("no base key for key selector " + std::to_string(selector));
            }
            used.name = selector == kBaseKeyA ? "base key A" : "base key B";
        }
        key = used;
    }

    // As much as a download reads: 4 MB of an S-record file; a binary file one byte past the
    // longest the layout takes, so that a longer one is told as such.
    const size_t limit = srec ? kFileBufferSize : kFileUpper + kImageCapacity + 1;
    korvel::base::Expected<FileBytes> file = korvel::base::ReadWholeFile(
        path, {.limit = limit, .overLimit = korvel::base::OverLimit::KeepBeginning});
    if (!file) {
        return ReportError("info",
                           GiveInstead(file.error(), "an S-record or binary download file"));
    }
    return srec ? ShowSrec(path, *file, json) : ShowBinary(path, *file, key, json);
}

}  // namespace cordane::tools
