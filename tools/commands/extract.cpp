// cordane extract: one reader's flash image cut out of a Binary Global File, written as the "bin"
// file the program downloads. The extraction is the kit's (kit/global_file.h), so that the file
// written here is byte for byte the one Brenmark downloads.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "base/hex.h"
#include "base/read_file.h"
#include "base/replace_file.h"
#include "base/text.h"
#include "cli/arguments.h"
#include "cli/download_options.h"
#include "cli/user_files.h"
#include "commands.h"
#include "cordane/readers.h"
#include "kit/global_file.h"

namespace cordane::tools {

namespace {

using korvel::base::GroupDigits;
using korvel::base::HexNumber;
namespace glo = korvel::kit::glo;

constexpr char kExtractHelp[] =
    "usage: cordane extract --reader N FILE.glo [-o OUT]\n"
    "\n"
    "Cuts the parts for reader type N out of the Binary Global File FILE.glo and writes them as\n"
    "the \"bin\" file Brenmark downloads: the CRC-16/X-25 of the flash image (2 bytes, least\n"
    "significant first), then the image. Every component's CRC is checked first, kept or not.\n"
    "\n"
    "  --reader N   the reader type, 2 to 9 (2 KvOrb (512Kb), 3 KvTal (512 Kb), 4 KvQuin3,\n"
    "               5 KvOrb1Mb, 6 KvTal (1Mb), 7 KvTalModem, 8 and 9 the readers found by\n"
    "               detection); \"cordane info FILE.glo\" shows the types the file holds\n"
    "  -o OUT       where to write; by default beside FILE.glo, under its name with the last\n"
    "               three characters replaced by \"bin\", as Brenmark names it\n"
    "\n"
    "The output is replaced whole or not at all; a refused file writes nothing, and neither\n"
    "does an OUT that is FILE.glo itself (under any name, or when FILE.glo's own name already\n"
    "ends in \"bin\"). On success the line \"wrote ...\" says what went where.\n"
    "\n"
    "Exit codes: 0 written; 1 FILE.glo unreadable or refused, or OUT not written; 2 bad command\n"
    "line, or OUT naming FILE.glo.\n";

int Usage(std::string_view problem) {
    return ReportUsage("extract", problem);
}

}  // namespace

int RunExtract(int argc, char** argv) {
    const char* path = nullptr;
    std::string output;
    int reader = -1;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string value;
        if (options && IsHelpOption(arg)) return PrintHelp(kExtractHelp);
        if (TakeOptionsEnd(arg, options)) continue;
        const OptionMatch readerMatch =
            options ? MatchOption(argc, argv, i, "--reader", value) : OptionMatch::No;
        if (readerMatch == OptionMatch::Missing) return Usage("--reader needs a value");
        if (readerMatch == OptionMatch::Value) {
            uint64_t number = 0;
            if (reader >= 0) return Usage("--reader is given twice: give it once");
            if (!ParseNumber(value, kLastReaderType, number) || number < KvOrb512) {
                return Usage("bad reader type \"" + value +
                             "\": give 2 to 9, a large reader (global files hold "
                             "nothing for the 64 Kb readers)");
            }
            reader = static_cast<int>(number);
            continue;
        }
        if (options && (arg == "-o" || arg == "--output" || arg.rfind("--output=", 0) == 0)) {
            std::string text;
            if (arg.rfind("--output=", 0) == 0) {
                text = arg.substr(9);
            } else if (i + 1 < argc) {
                text = argv[++i];
            } else {
                return Usage(arg + " needs a value");
            }
            if (!output.empty()) return Usage("-o is given twice: give it once");
            if (text.empty()) return Usage("-o needs a file name");
            output = text;
        } else if (const korvel::base::Expected<void> taken =
                       TakeOperand(argv[i], options, {&path});
                   !taken) {
            return Usage(taken.error().message);
        }
    }
    if (reader < 0) {
        return Usage("give the reader type with --reader (2 to 9, see --help)");
    }
    if (path == nullptr) return Usage("give the global file to extract from");
    const bool derived = output.empty();
    if (derived) output = korvel::kit::BinPathFor(path);
    if (SameFile(path, output)) {
        return Usage(derived ? std::string(path) +
                                   " would be replaced by its own extract: the \"bin\" file's "
                                   "name (the last three characters replaced by \"bin\") is the "
                                   "global file itself. Give another name with -o OUT; nothing "
                                   "was written"
                             : "-o " + output + " is the global file " + path +
                                   " itself: give another name for the extract; nothing was "
                                   "written");
    }

    // Mapped rather than read: a 4 MiB file then costs neither a copy nor a buffer of its own,
    // which is most of an extraction's time. A longer file is refused on its size alone.
    const korvel::base::Expected<korvel::base::FileView> file = korvel::base::FileView::Map(
        path, {.limit = glo::kMaxFile + 1, .overLimit = korvel::base::OverLimit::KeepBeginning});
    if (!file) {
        return ReportError("extract", GiveInstead(file.error(), "a Binary Global File (.glo)"));
    }
    korvel::kit::GloImage image =
        korvel::kit::ExtractImage(path, file->bytes().data(), file->bytes().size(), reader);
    if (!image.Ok()) {
        std::fprintf(stderr, "cordane extract: %s; nothing was written\n",
                     korvel::kit::RefusalLine(image.refusal, path).c_str());
        return kExitBadInput;
    }
    // The "bin" file: the CRC, least significant byte first, then the image, in one buffer.
    std::vector<uint8_t>& bytes = image.image;
    bytes.insert(bytes.begin(),
                 {static_cast<uint8_t>(image.crc), static_cast<uint8_t>(image.crc >> 8)});
    if (const korvel::base::Expected<void> written = korvel::base::ReplaceWholeFile(output, bytes);
        !written) {
        ReportError("extract", written.error());
        return kExitBadInput;
    }
    std::string parts;
    for (const korvel::kit::GloPart& part : image.parts) {
        parts += (parts.empty() ? "" : ", ") + part.name;
    }
    std::printf("wrote %s bytes to %s: CRC %s and the image for reader type %s from %s (%s)\n",
                GroupDigits(bytes.size()).c_str(), output.c_str(), HexNumber(image.crc, 4).c_str(),
                ReaderTypeText(reader).c_str(), path, parts.c_str());
    return kExitOk;
}

}  // namespace cordane::tools
