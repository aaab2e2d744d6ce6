// cordane mkglo: a Binary Global File built from components, checked as the extraction will check
// it before anything is written.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "base/hex.h"
#include "base/read_file.h"
#include "base/replace_file.h"
#include "base/text.h"
#include "cli/arguments.h"
#include "cli/user_files.h"
#include "commands.h"
#include "cordane/readers.h"
#include "kit/global_file.h"

namespace cordane::tools {

namespace {

using korvel::base::GroupDigits;
using korvel::base::HexNumber;
using korvel::kit::GloComponentSpec;
using korvel::kit::GloRefusal;
namespace glo = korvel::kit::glo;

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

int Usage(std::string_view problem) {
    return ReportUsage("mkglo", problem);
}

// mkglo's file judged as the extraction will judge it: refused when the extraction would refuse it
// for every reader type; each component that no reader would take is warned about.
korvel::base::Expected<void> CheckBuiltFile(const std::string& output,
                                            const std::vector<GloComponentSpec>& components,
                                            const std::vector<uint8_t>& bytes) {
    const GloRefusal refusal = korvel::kit::CheckGlobalFile(output, bytes.data(), bytes.size());
    if (refusal.error != korvel::kit::GloError::None) {
        return korvel::base::Fail("the extraction would refuse " + output + " for every reader: " +
                                  (refusal.detail.empty() ? refusal.text : refusal.detail) +
                                  "; nothing was written");
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
                         HexNumber(spec.address, 6).c_str());
        }
    }
    for (int type = KvOrb512; type <= kLastReaderType; ++type) {
        if (korvel::kit::ExtractImage(output, bytes.data(), bytes.size(), type).Ok()) return {};
    }
    return korvel::base::Fail("no reader type would get anything from " + output +
                              ": give each component data and a load address of its kind (see "
                              "--help); nothing was written");
}

}  // namespace

int RunMkglo(int argc, char** argv) {
    std::string output;
    bool longForm = false;
    bool options = true;
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && IsHelpOption(arg)) return PrintHelp(kMkgloHelp);
        if (TakeOptionsEnd(arg, options)) continue;
        if (options && arg == "--long-form") {
            longForm = true;
        } else if (options && (arg == "-o" || arg == "--output")) {
            if (i + 1 >= argc) return Usage(arg + " needs a value");
            if (!output.empty()) return Usage("-o is given twice: give it once");
            output = argv[++i];
            if (output.empty()) return Usage("-o needs a file name");
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option " + arg);
        } else {
            arguments.push_back(arg);
        }
    }
    if (output.empty()) return Usage("give the file to write with -o OUT.glo");
    if (arguments.empty()) {
        return Usage("give at least one component, KIND:FLAGS:ADDRESS:NAME=DATAFILE");
    }
    std::vector<GloComponentSpec> components;
    std::vector<std::string> dataPaths;
    for (const std::string& argument : arguments) {
        korvel::base::Expected<korvel::kit::ComponentArgument> parsed =
            korvel::kit::ParseComponentArgument(argument);
        if (!parsed) return Usage(parsed.error().message);
        components.push_back(std::move(parsed->spec));
        dataPaths.push_back(std::move(parsed->dataPath));
    }
    for (const std::string& dataPath : dataPaths) {
        if (SameFile(output, dataPath)) {
            return Usage("-o " + output + " is the data file " + dataPath +
                         " itself: give another name for the global file; nothing "
                         "was written");
        }
    }
    for (size_t i = 0; i < components.size(); ++i) {
        korvel::base::Expected<korvel::base::FileBytes> data = korvel::base::ReadWholeFile(
            dataPaths[i],
            {.limit = glo::kMaxFile + 1, .overLimit = korvel::base::OverLimit::KeepBeginning});
        if (!data) {
            return ReportError("mkglo", GiveInstead(data.error(), "a file of component data"));
        }
        if (data->cut) {
            std::fprintf(stderr,
                         "cordane mkglo: %s is larger than the 4 MiB a global file may hold; "
                         "nothing was written\n",
                         dataPaths[i].c_str());
            return kExitBadInput;
        }
        components[i].data = std::move(data->bytes);
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
    if (const korvel::base::Expected<void> checked = CheckBuiltFile(output, components, bytes);
        !checked) {
        return ReportError("mkglo", checked.error());
    }
    if (const korvel::base::Expected<void> written = korvel::base::ReplaceWholeFile(output, bytes);
        !written) {
        ReportError("mkglo", written.error());
        return kExitBadInput;
    }
    return kExitOk;
}

}  // namespace cordane::tools
