// cordane extract, cordane mkglo and the global-file part of cordane info: Binary Global Files
// without a reader. The extraction is the program's own (global_file.h), so that the "bin" file
// written here is byte for byte the one Brenmark downloads.
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "cordane/cordane.h"
#include "cordane/readers.h"
#include "cli/download_options.h"
#include "cli/json_writer.h"
#include "kit/global_file.h"
#include "cli/tool_support.h"

namespace cordane::tools {

namespace {

using korvel::kit::GloComponent;
using korvel::kit::GloComponentSpec;
using korvel::kit::GloRefusal;
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

constexpr char kMkgloHelp[] =
    "usage: cordane mkglo [--long-form] -o OUT.glo COMPONENT...\n"
    "\n"
    "Builds a Binary Global File from components, in the order given (a later component for the\n"
    "same place replaces an earlier one when a reader's image is cut out). A COMPONENT is\n"
    "  KIND:FLAGS:ADDRESS:NAME=DATAFILE\n"
    "  KIND     1 for a common component, any other number 0 to 255 for a reader-specific one\n"
    "  FLAGS    the reader flags, 0 to 255 (0x08, 0x10, 0x40 choose the reader type); empty to\n"
    "           write none (a reader-specific component needs them)\n"
    "  ADDRESS  the load address: common 0x4300, 0xE000, 0x10000, 0x100000; reader-specific\n"
    "           0x4000, 0x4720, 0x70000\n"
    "  NAME     the component's name, up to 256 bytes; reader-specific components for the\n"
    "           reader types 8 and 9 have a name beginning \"SREHARD4_S.SR\"\n"
    "  DATAFILE the file whose bytes are the component's data\n"
    "Numbers are decimal or 0x hexadecimal. Example:\n"
    "  cordane mkglo -o all.glo 1::0x10000:APP.SRE=app.bin 2:0x48:0x4720:DRV.SRE=drv.bin\n"
    "\n"
    "  --long-form  write every length in the long form with four length bytes\n"
    "\n"
    "The file is checked as the extraction checks it before anything is written: a component\n"
    "larger than its place, or a reader-specific one without FLAGS, refuses it. A component at\n"
    "a load address no place of its kind takes is ignored by every reader: a warning says so,\n"
    "and a file in which every reader type would find nothing is refused.\n"
    "\n"
    "Exit codes: 0 written; 1 a data file unreadable, a file the extraction would refuse or too\n"
    "large, or OUT not written; 2 bad command line or component, or OUT naming a DATAFILE.\n";

int Usage(const char* command, const std::string& problem) {
    std::fprintf(stderr, "cordane %s: %s\n(\"cordane %s --help\" tells more)\n", command,
                 problem.c_str(), command);
    return kExitUsage;
}

// A global file's bytes. A regular file is mapped rather than read: a 4 MiB file then costs
// neither a copy nor a buffer of its own, which is most of an extraction's time. Anything else
// (a pipe, a device) is read, at most one byte more than a global file may hold, so that a
// longer one is told as such.
class GlobalBytes {
  public:
    GlobalBytes() = default;
    GlobalBytes(const GlobalBytes&) = delete;
    GlobalBytes& operator=(const GlobalBytes&) = delete;
    ~GlobalBytes() {
        if (mapped_ != MAP_FAILED) ::munmap(mapped_, mappedSize_);
    }

    bool Load(const char* command, const char* path) {
        UniqueFd fd;
        struct stat info {};
        if (!OpenInput(command, path, "a Binary Global File (.glo)", fd, info)) return false;
        fileSize_ = info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
        if (S_ISREG(info.st_mode) && info.st_size > 0) {
            // The bytes the extraction looks at: a longer file is refused on its size alone.
            mappedSize_ = static_cast<size_t>(std::min<uint64_t>(fileSize_, glo::kMaxFile + 1));
            mapped_ =
                ::mmap(nullptr, mappedSize_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd.get(), 0);
            if (mapped_ != MAP_FAILED) {
                data_ = static_cast<const uint8_t*>(mapped_);
                size_ = mappedSize_;
                return true;
            }
        }
        if (!ReadOpenInput(command, path, fd.get(), info, glo::kMaxFile + 1, file_)) return false;
        data_ = file_.bytes.data();
        size_ = file_.bytes.size();
        fileSize_ = file_.size;
        return true;
    }

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    uint64_t fileSize() const { return fileSize_; }

  private:
    void* mapped_ = MAP_FAILED;
    size_t mappedSize_ = 0;
    InputFile file_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    uint64_t fileSize_ = 0;
};

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string ReaderTypeText(int type) {
    return std::to_string(type) + " " + ReaderName(static_cast<eReaderType>(type));
}

// mkglo's file judged as the extraction will judge it: refused (with the message) when the
// extraction would refuse it for every reader type; each component that no reader would take is
// warned about.
bool CheckBuiltFile(const std::string& output, const std::vector<GloComponentSpec>& components,
                    const std::vector<uint8_t>& bytes) {
    const GloRefusal refusal = korvel::kit::CheckGlobalFile(output, bytes.data(), bytes.size());
    if (refusal.error != korvel::kit::GloError::None) {
        std::fprintf(stderr,
                     "cordane mkglo: the extraction would refuse %s for every reader: %s; nothing "
                     "was written\n",
                     output.c_str(),
                     (refusal.detail.empty() ? refusal.text : refusal.detail).c_str());
        return false;
    }
    for (const GloComponentSpec& spec : components) {
        const bool common = spec.kind == glo::kCommonKind;
        if (korvel::kit::PlaceOf(common, spec.address, spec.data.size()).fit ==
            korvel::kit::SlotFit::NoSlot) {
            std::fprintf(stderr,
                         "cordane mkglo: warning: no reader takes the %s component %s: no place "
                         "of its kind is at load address %s (\"cordane mkglo --help\" lists "
                         "them)\n",
                         common ? "common" : "reader-specific", spec.name.c_str(),
                         Hex(spec.address, 6).c_str());
        }
    }
    for (int type = KvOrb512; type <= kLastReaderType; ++type) {
        if (korvel::kit::ExtractImage(output, bytes.data(), bytes.size(), type).Ok()) return true;
    }
    std::fprintf(stderr,
                 "cordane mkglo: no reader type would get anything from %s: give each component "
                 "data and a load address of its kind (see --help); nothing was written\n",
                 output.c_str());
    return false;
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
        if (options && (arg == "--help" || arg == "-h")) {
            std::fputs(kExtractHelp, stdout);
            return kExitOk;
        }
        if (options && arg == "--") {
            options = false;
            continue;
        }
        const OptionMatch readerMatch =
            options ? MatchOption(argc, argv, i, "--reader", value) : OptionMatch::No;
        if (readerMatch == OptionMatch::Missing) return Usage("extract", "--reader needs a value");
        if (readerMatch == OptionMatch::Value) {
            uint64_t number = 0;
            if (reader >= 0) return Usage("extract", "--reader is given twice: give it once");
            if (!ParseNumber(value, kLastReaderType, number) || number < KvOrb512) {
                return Usage("extract", "bad reader type \"" + value +
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
                return Usage("extract", arg + " needs a value");
            }
            if (!output.empty()) return Usage("extract", "-o is given twice: give it once");
            if (text.empty()) return Usage("extract", "-o needs a file name");
            output = text;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            return Usage("extract", "unknown option " + arg);
        } else if (path == nullptr) {
            path = argv[i];
        } else {
            return Usage("extract", "one argument too many: " + arg);
        }
    }
    if (reader < 0) {
        return Usage("extract", "give the reader type with --reader (2 to 9, see --help)");
    }
    if (path == nullptr) return Usage("extract", "give the global file to extract from");
    const bool derived = output.empty();
    if (derived) output = korvel::kit::BinPathFor(path);
    if (SameFile(path, output.c_str())) {
        return Usage("extract",
                     derived ? std::string(path) +
                                   " would be replaced by its own extract: the \"bin\" file's "
                                   "name (the last three characters replaced by \"bin\") is the "
                                   "global file itself. Give another name with -o OUT; nothing "
                                   "was written"
                             : "-o " + output + " is the global file " + path +
                                   " itself: give another name for the extract; nothing was "
                                   "written");
    }

    GlobalBytes file;
    if (!file.Load("extract", path)) return kExitBadInput;
    korvel::kit::GloImage image = korvel::kit::ExtractImage(path, file.data(), file.size(), reader);
    if (!image.Ok()) {
        std::fprintf(stderr, "cordane extract: %s; nothing was written\n",
                     korvel::kit::RefusalLine(image.refusal, path).c_str());
        return kExitBadInput;
    }
    // The "bin" file: the CRC, least significant byte first, then the image, in one buffer.
    std::vector<uint8_t>& bytes = image.image;
    bytes.insert(bytes.begin(),
                 {static_cast<uint8_t>(image.crc), static_cast<uint8_t>(image.crc >> 8)});
    if (!WriteOutputFile("extract", output.c_str(), bytes.data(), bytes.size())) {
        return kExitBadInput;
    }
    std::string parts;
    for (const korvel::kit::GloPart& part : image.parts) {
        parts += (parts.empty() ? "" : ", ") + part.name;
    }
    std::printf("wrote %s bytes to %s: CRC %s and the image for reader type %s from %s (%s)\n",
                GroupDigits(bytes.size()).c_str(), output.c_str(), Hex(image.crc, 4).c_str(),
                ReaderTypeText(reader).c_str(), path, parts.c_str());
    return kExitOk;
}

int RunMkglo(int argc, char** argv) {
    std::string output;
    bool longForm = false;
    bool options = true;
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && (arg == "--help" || arg == "-h")) {
            std::fputs(kMkgloHelp, stdout);
            return kExitOk;
        }
        if (options && arg == "--") {
            options = false;
        } else if (options && arg == "--long-form") {
            longForm = true;
        } else if (options && (arg == "-o" || arg == "--output")) {
            if (i + 1 >= argc) return Usage("mkglo", arg + " needs a value");
            if (!output.empty()) return Usage("mkglo", "-o is given twice: give it once");
            output = argv[++i];
            if (output.empty()) return Usage("mkglo", "-o needs a file name");
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            return Usage("mkglo", "unknown option " + arg);
        } else {
            arguments.push_back(arg);
        }
    }
    if (output.empty()) return Usage("mkglo", "give the file to write with -o OUT.glo");
    if (arguments.empty()) {
        return Usage("mkglo", "give at least one component, KIND:FLAGS:ADDRESS:NAME=DATAFILE");
    }
    std::vector<GloComponentSpec> components;
    std::vector<std::string> dataPaths;
    for (const std::string& argument : arguments) {
        GloComponentSpec spec;
        std::string dataPath;
        std::string error;
        if (!korvel::kit::ParseComponentArgument(argument, &spec, &dataPath, &error)) {
            return Usage("mkglo", error);
        }
        components.push_back(std::move(spec));
        dataPaths.push_back(std::move(dataPath));
    }
    for (const std::string& dataPath : dataPaths) {
        if (SameFile(output.c_str(), dataPath.c_str())) {
            return Usage("mkglo", "-o " + output + " is the data file " + dataPath +
                                      " itself: give another name for the global file; nothing "
                                      "was written");
        }
    }
    for (size_t i = 0; i < components.size(); ++i) {
        InputFile data;
        if (!ReadInput("mkglo", dataPaths[i].c_str(), "a file of component data", data,
                       glo::kMaxFile + 1)) {
            return kExitBadInput;
        }
        if (data.cut) {
            std::fprintf(stderr,
                         "cordane mkglo: %s is larger than the 4 MiB a global file may hold; "
                         "nothing was written\n",
                         dataPaths[i].c_str());
            return kExitBadInput;
        }
        components[i].data = std::move(data.bytes);
    }
    const std::vector<uint8_t> bytes = korvel::kit::BuildGlobalFile(components, longForm);
    if (bytes.size() > glo::kMaxFile) {
        std::fprintf(stderr,
                     "cordane mkglo: the global file would be %s bytes long, more than the "
                     "4,194,304 a global file may hold; split the components over several files; "
                     "nothing was written\n",
                     GroupDigits(bytes.size()).c_str());
        return kExitBadInput;
    }
    if (!CheckBuiltFile(output, components, bytes)) return kExitBadInput;
    return WriteOutputFile("mkglo", output.c_str(), bytes.data(), bytes.size()) ? kExitOk
                                                                                : kExitBadInput;
}

int ShowGlobalFile(const char* path, bool json) {
    GlobalBytes file;
    if (!file.Load("info", path)) return kExitBadInput;
    const korvel::kit::GloContents contents =
        korvel::kit::ReadGlobalFile(path, file.data(), file.size());
    // The component that refuses the file: the one the structure stops at, else the first with
    // a wrong CRC (every component was read then).
    std::optional<size_t> refused = contents.refusedComponent;
    if (contents.Ok()) {
        for (size_t i = 0; i < contents.components.size() && !refused; ++i) {
            if (!contents.components[i].CrcGood()) refused = i;
        }
    }
    const bool accepted = contents.Ok() && !refused;
    const std::string count = (contents.countComplete ? "" : "at least ") +
                              GroupDigits(contents.componentCount) +
                              (contents.componentCount == 1 ? " component" : " components");

    if (json) {
        JsonWriter out;
        out.BeginObject().Key("file").String(path).Key("kind").String("global");
        out.Key("size")
            .Number(static_cast<int64_t>(file.fileSize()))
            .Key("accepted")
            .Bool(accepted);
        if (!contents.Ok()) {
            out.Key("problem").String(korvel::kit::RefusalLine(contents.refusal, path));
        }
        out.Key("component_count").Number(static_cast<int64_t>(contents.componentCount));
        out.Key("count_complete").Bool(contents.countComplete).Key("refused_component");
        if (refused) {
            out.Number(static_cast<int64_t>(*refused + 1));
        } else {
            out.Null();
        }
        out.Key("components").BeginArray();
        for (const GloComponent& c : contents.components) {
            out.BeginObject().Key("name").String(c.name).Key("kind").Number(c.kind);
            out.Key("common").Bool(c.Common()).Key("flags");
            if (c.flags) {
                out.Number(*c.flags);
            } else {
                out.Null();
            }
            out.Key("reader_type");
            if (c.Common()) {
                out.Null();
            } else {
                out.Number(c.ReaderType());
            }
            out.Key("address").Number(c.address);
            out.Key("size").Number(static_cast<int64_t>(c.dataSize));
            out.Key("crc").Number(c.storedCrc).Key("crc_good").Bool(c.CrcGood()).EndObject();
        }
        out.EndArray().EndObject();
        std::fputs((out.text() + "\n").c_str(), stdout);
    } else {
        std::string refusedText;
        if (refused) {
            refusedText = "; component " + std::to_string(*refused + 1) + " is refused" +
                          (contents.Ok() ? " (its CRC is wrong)" : " (below)");
        } else if (!contents.Ok()) {
            refusedText = "; refused (below)";
        }
        std::printf("%s: Binary Global File, %s bytes, %s%s\n", path,
                    GroupDigits(file.fileSize()).c_str(), count.c_str(), refusedText.c_str());
        std::printf("  %-20s %-4s %-5s %-17s %-10s %12s  %s\n", "name", "kind", "flags",
                    "reader type", "address", "size", "CRC");
        for (const GloComponent& c : contents.components) {
            const std::string flags = c.flags ? Hex(*c.flags, 2) : "-";
            const std::string type = c.Common() ? "common" : ReaderTypeText(c.ReaderType());
            std::printf("  %-20s %-4u %-5s %-17s %-10s %12s  %s\n", c.name.c_str(), c.kind,
                        flags.c_str(), type.c_str(), Hex(c.address, 6).c_str(),
                        GroupDigits(c.dataSize).c_str(),
                        c.CrcGood() ? "good"
                                    : ("bad (holds " + Hex(c.storedCrc, 4) + ", data give " +
                                       Hex(c.computedCrc, 4) + ")")
                                          .c_str());
        }
    }
    if (!contents.Ok()) {
        std::string where;
        if (refused) where = "component " + std::to_string(*refused + 1) + " of " + count + ": ";
        std::fprintf(stderr, "cordane info: %s%s\n", where.c_str(),
                     korvel::kit::RefusalLine(contents.refusal, path).c_str());
        return kExitBadInput;
    }
    if (refused) {
        const GloComponent& bad = contents.components[*refused];
        std::fprintf(stderr,
                     "cordane info: %s: component %zu of %s (\"%s\", at byte %zu) holds CRC %s but "
                     "its data give %s, so no reader's image can be extracted from the file "
                     "(\"CRC Error!\"); rebuild the global file\n",
                     path, *refused + 1, count.c_str(), bad.name.c_str(), bad.offset,
                     Hex(bad.storedCrc, 4).c_str(), Hex(bad.computedCrc, 4).c_str());
        return kExitBadInput;
    }
    return kExitOk;
}

}  // namespace cordane::tools
