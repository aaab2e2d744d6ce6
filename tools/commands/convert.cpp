// cordane convert: turns an S-record file into the memory image the engine builds from it, as a
// binary file whose byte 0 stands for the image's first address.
#include <cstdio>
#include <string>
#include <string_view>

#include "base/read_file.h"
#include "base/replace_file.h"
#include "cli/arguments.h"
#include "cli/user_files.h"
#include "commands.h"
#include "cordane/formats/srec.h"
#include "cordane/protocol.h"
#include "page_buffer.h"

namespace cordane::tools {

namespace {

constexpr size_t kEngineImageCapacity = 0x7FFFF;    // image buffer of 0x80000 bytes, less byte 0
constexpr size_t kEngineTextLimit = kFileTextSize;  // the longest S-record file the engine reads
constexpr size_t kCapacityLimit = 0x1000100;  // beyond any 24-bit address plus one record's data

constexpr char kHelp[] =
    "usage: cordane convert [--window LO:HI] [--capacity N] INPUT.sre OUTPUT.bin\n"
    "\n"
    "Converts a Motorola S-record file into the memory image the download engine builds from it\n"
    "and writes the image to OUTPUT: byte 0 stands for the image's first address, holes between\n"
    "records are 0xFF, and the file ends at the last byte of data. Only S2 records are taken.\n"
    "\n"
    "  (no --window)    every record from address 0x2000 on; byte 0 is address 0x2000, as for\n"
    "                   a small reader's application\n"
    "  --window LO:HI   only records whose address lies in [LO, HI); byte 0 is address LO, as\n"
    "                   for the regions of a large reader's files (e.g. 0xD000:0x80000)\n"
    "  --capacity N     largest image accepted, in bytes (default 0x7FFFF = 524,287, the\n"
    "                   engine's image buffer; a larger value converts images it would refuse)\n"
    "Numbers are decimal or hexadecimal with 0x.\n"
    "\n"
    "The whole input is converted, and every record's checksum is checked; the last record must\n"
    "be an end record (S7, S8 or S9). The engine reads files of up to 64 MiB whole and refuses\n"
    "longer ones: a longer input is converted, with a warning.\n"
    "OUTPUT is written only when the conversion succeeds; it is replaced whole if it exists, in\n"
    "the directory a symbolic link leads to (the link stays), and a device or FIFO is written\n"
    "in place. INPUT must be a regular file.\n"
    "\n"
    "Exit codes: 0 image written; 1 input unreadable or refused, or output not written;\n"
    "2 bad command line.\n";

int Usage(std::string_view problem) {
    return ReportUsage("convert", problem, "[--window LO:HI] [--capacity N] INPUT.sre OUTPUT.bin");
}

bool ParseWindow(const std::string& text, uint32_t& lower, uint32_t& upper) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    const std::string lo = text.substr(0, colon);
    const std::string hi = text.substr(colon + 1);
    uint64_t l = 0;
    uint64_t h = 0;
    if (!ParseNumber(lo, UINT32_MAX, l) || !ParseNumber(hi, UINT32_MAX, h)) {
        return false;
    }
    lower = static_cast<uint32_t>(l);
    upper = static_cast<uint32_t>(h);
    return true;
}

// What the user can do about a refused file.
const char* Advice(SrecError error) {
    switch (error) {
        case SrecError::OutOfOrder:
            return "Records must come in ascending address order without overlap: build the file "
                   "again, or sort its records by address.";
        case SrecError::ShortCount:
            return "The file is damaged: build it again with the reader's tools.";
        case SrecError::Truncated:
            return "The file is incomplete: copy it again, or build it again.";
        case SrecError::ImageTooLarge:
            return "Check the record addresses, convert a part with --window, or raise "
                   "--capacity if the image is not meant for the engine.";
        case SrecError::BadChecksum:
            return "The file is damaged or was edited by hand: copy it again, or build it again.";
        case SrecError::CrossesWindow:
            return "Part of the record would be lost: convert a window that holds it whole, or "
                   "build the file so that no record crosses a region boundary.";
        case SrecError::MissingEnd:
            return "The file is incomplete: copy it again, or build it again.";
        case SrecError::None:
            break;
    }
    return "";
}

}  // namespace

int RunConvert(int argc, char** argv) {
    bool windowed = false;
    uint32_t lower = kPlainStart;
    uint32_t upper = UINT32_MAX;
    size_t capacity = kEngineImageCapacity;
    const char* input = nullptr;
    const char* output = nullptr;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string value;
        if (options && IsHelpOption(arg)) return PrintHelp(kHelp);
        if (TakeOptionsEnd(arg, options)) continue;
        const OptionMatch window =
            options ? MatchOption(argc, argv, i, "--window", value) : OptionMatch::No;
        const OptionMatch capacityGiven = options && window == OptionMatch::No
                                              ? MatchOption(argc, argv, i, "--capacity", value)
                                              : OptionMatch::No;
        if (window == OptionMatch::Missing) {
            return Usage("--window needs LO:HI, e.g. 0xD000:0x80000");
        }
        if (capacityGiven == OptionMatch::Missing) {
            return Usage("--capacity needs a number of bytes");
        }
        if (window == OptionMatch::Value) {
            if (!ParseWindow(value, lower, upper)) {
                return Usage("bad window \"" + value +
                             "\": give LO:HI, two addresses in decimal or 0x hexadecimal");
            }
            if (lower >= upper) {
                return Usage("empty window \"" + value + "\": LO must be below HI");
            }
            windowed = true;
        } else if (capacityGiven == OptionMatch::Value) {
            uint64_t number = 0;
            if (!ParseNumber(value, kCapacityLimit, number)) {
                return Usage("bad capacity \"" + value +
                             "\": give a number of bytes up to 0x1000100, in decimal or 0x "
                             "hexadecimal");
            }
            capacity = static_cast<size_t>(number);
        } else if (const korvel::base::Expected<void> taken =
                       TakeOperand(argv[i], options, {&input, &output});
                   !taken) {
            return Usage(taken.error().message);
        }
    }
    if (output == nullptr) return Usage("give both an INPUT.sre and an OUTPUT.bin file");

    // The input mapped in place where the file allows it, which spares copying it; else read.
    korvel::base::Expected<korvel::base::FileView> mapped = korvel::base::FileView::Map(input);
    if (!mapped) return ReportError("convert", GiveInstead(mapped.error(), "an S-record file"));
    const std::span<const uint8_t> text = mapped->bytes();
    if (text.size() > kEngineTextLimit) {
        std::fprintf(stderr,
                     "cordane convert: warning: %s is %zu bytes long; the engine refuses S-record "
                     "files longer than %zu bytes\n",
                     input, text.size(), kEngineTextLimit);
    }

    PageBuffer image;
    if (!image.Allocate(capacity)) {
        std::fprintf(stderr, "cordane convert: no memory for an image of %zu bytes\n", capacity);
        return kExitBadInput;
    }

    PrintConversionBanner();
    SrecResult result;
    {
        // A mapped file cut shorter while it is converted: a message instead of a crash; no
        // output file exists yet at that point.
        const korvel::base::MappingGuard guard("\ncordane convert: " + std::string(input) +
                                                   " was cut short while it was being read; "
                                                   "convert it again once nothing writes to it\n",
                                               kExitBadInput);
        result = windowed ? ConvertSrecWindow(text.data(), text.size(), image.data(), capacity,
                                              lower, upper)
                          : ConvertSrecPlain(text.data(), text.size(), image.data(), capacity);
    }
    if (result.error != SrecError::None) {
        std::fputc('\n', stdout);
        std::fflush(stdout);
        std::fprintf(stderr, "cordane convert: %s: %s. %s\n", input,
                     DescribeSrecRefusal(result).c_str(), Advice(result.error));
        if (result.error == SrecError::ImageTooLarge) {
            std::fprintf(stderr,
                         "  The image from address 0x%X may be at most %zu (0x%zX) bytes long.\n",
                         lower, capacity, capacity);
        }
        std::fprintf(stderr, "  %s was not written.\n", output);
        return kExitBadInput;
    }

    if (const korvel::base::Expected<void> written =
            korvel::base::ReplaceWholeFile(output, {image.data(), result.length});
        !written) {
        ReportError("convert", written.error());
        std::fputc('\n', stdout);
        return kExitBadInput;
    }
    if (result.length == 0) {
        std::printf("wrote 0 bytes to %s\n", output);
        if (windowed) {
            std::fprintf(stderr,
                         "cordane convert: warning: %s holds no S2 data in [0x%X, 0x%X); the "
                         "image is empty. Check the window.\n",
                         input, lower, upper);
        } else {
            std::fprintf(stderr,
                         "cordane convert: warning: %s holds no S2 data at or above 0x2000; the "
                         "image is empty. Check that this is the reader's application file.\n",
                         input);
        }
    } else {
        std::printf("wrote %zu bytes (0x%X-0x%zX) to %s\n", result.length, lower,
                    size_t{lower} + result.length - 1, output);
    }
    return kExitOk;
}

}  // namespace cordane::tools
