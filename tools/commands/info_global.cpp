// cordane info FILE.glo: the components of a Binary Global File, each checked as the extraction
// checks it.
#include <cstdio>
#include <optional>
#include <string>

#include "base/hex.h"
#include "base/json_writer.h"
#include "base/read_file.h"
#include "base/text.h"
#include "cli/arguments.h"
#include "cli/download_options.h"
#include "cli/user_files.h"
#include "commands.h"
#include "kit/global_file.h"

namespace cordane::tools {

using korvel::base::JsonWriter;

using korvel::base::GroupDigits;
using korvel::base::HexNumber;
using korvel::kit::GloComponent;
namespace glo = korvel::kit::glo;

int ShowGlobalFile(const char* path, bool json) {
    // Mapped, at most one byte more than a global file may hold: a longer one is told as such.
    const korvel::base::Expected<korvel::base::FileView> file = korvel::base::FileView::Map(
        path, {.limit = glo::kMaxFile + 1, .overLimit = korvel::base::OverLimit::KeepBeginning});
    if (!file) {
        return ReportError("info", GiveInstead(file.error(), "a Binary Global File (.glo)"));
    }
    const korvel::kit::GloContents contents =
        korvel::kit::ReadGlobalFile(path, file->bytes().data(), file->bytes().size());
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
        out.Key("size").Number(static_cast<int64_t>(file->size())).Key("accepted").Bool(accepted);
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
                    GroupDigits(file->size()).c_str(), count.c_str(), refusedText.c_str());
        std::printf("  %-20s %-4s %-5s %-17s %-10s %12s  %s\n", "name", "kind", "flags",
                    "reader type", "address", "size", "CRC");
        for (const GloComponent& c : contents.components) {
            const std::string flags = c.flags ? HexNumber(*c.flags, 2) : "-";
            const std::string type = c.Common() ? "common" : ReaderTypeText(c.ReaderType());
            std::printf("  %-20s %-4u %-5s %-17s %-10s %12s  %s\n", c.name.c_str(), c.kind,
                        flags.c_str(), type.c_str(), HexNumber(c.address, 6).c_str(),
                        GroupDigits(c.dataSize).c_str(),
                        c.CrcGood() ? "good"
                                    : ("bad (holds " + HexNumber(c.storedCrc, 4) + ", data give " +
                                       HexNumber(c.computedCrc, 4) + ")")
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
                     HexNumber(bad.storedCrc, 4).c_str(), HexNumber(bad.computedCrc, 4).c_str());
        return kExitBadInput;
    }
    return kExitOk;
}

}  // namespace cordane::tools
