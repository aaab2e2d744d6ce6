#include "download/global_file.h"

#include "download/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <variant>
#include <vector>

#include "base/json_writer.h"
#include "cordane/cordane.h"
#include "cordane/exit_codes.h"
#include "cordane/formats/large_images.h"
#include "cordane/readers.h"
#include "download/output.h"
#include "download/verdict.h"
#include "kit/detection.h"
#include "kit/global_file.h"

namespace cordane::tools {

using korvel::base::JsonWriter;

namespace {

constexpr char kBinName[] = "global.bin";

// As "cordane detect" exits: 3 when the reader did not open, 4 for any other failure.
int DetectionExitCode(korvel::kit::DetectionFailure failure) {
    return failure == korvel::kit::DetectionFailure::OpenFailed ? kExitOpenFailed
                                                                : kExitCommunication;
}

}  // namespace

ExtractedGlobalFile::~ExtractedGlobalFile() {
    if (!file_.empty()) ::unlink(file_.c_str());
    if (!directory_.empty()) ::rmdir(directory_.c_str());
    watcher_.Stop();
}

bool ExtractedGlobalFile::Create(std::string& error) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/cordane-glo-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        error = "cannot create a temporary directory for the extracted file (" + pattern +
                "): " + std::strerror(errno) + "; set TMPDIR to a writable directory";
        return false;
    }
    directory_ = pattern;
    // The file, and its temporary sibling ("global.bin.XXXXXX") if a write was cut short.
    watcher_.Start(directory_, kBinName, true);
    return true;
}

bool ExtractedGlobalFile::Extract(const std::string& globalPath, int readerType,
                                  std::string& error) {
    const std::string target = directory_ + "/" + kBinName;
    const korvel::kit::GloExtraction extraction =
        korvel::kit::ExtractGlobalFileTo(globalPath, readerType, target);
    if (!extraction.Ok()) {
        if (extraction.refusal.error == korvel::kit::GloError::CannotWrite) {
            // The temporary file is ours, not the user's: say what it was for.
            error = "cannot write the part of " + globalPath + " for reader type " +
                    std::to_string(readerType) + " to a temporary file in " + directory_ + ": " +
                    extraction.refusal.detail + "; set TMPDIR to a writable directory with room";
        } else {
            error = korvel::kit::RefusalLine(extraction.refusal, globalPath);
        }
        return false;
    }
    file_ = extraction.binPath;
    if (auto problem = PartProblem(globalPath, readerType, extraction.image)) {
        error = *problem;
        return false;
    }
    return true;
}

std::optional<std::string> ExtractedGlobalFile::PartProblem(
    const std::string& globalPath, int readerType, const korvel::kit::GloImage& image) const {
    std::vector<uint8_t> bytes{static_cast<uint8_t>(image.crc),
                               static_cast<uint8_t>(image.crc >> 8)};
    bytes.insert(bytes.end(), image.image.begin(), image.image.end());
    large::Inputs inputs;
    inputs.downloadType = KV_DOWNLOAD_BINARY;
    inputs.appPath = file_;
    inputs.binary = bytes;
    const auto type = static_cast<eReaderType>(readerType);
    const std::string part = "The part of " + globalPath + " for reader type " +
                             std::to_string(readerType) + " (" + ReaderName(type) + ")";
    // The engine's texts name the file it reads: here the temporary one, which means nothing to
    // the user.
    auto named = [&](std::string text) {
        const std::string temporary = "The binary file " + file_;
        if (text.rfind(temporary, 0) == 0) text.replace(0, temporary.size(), part);
        return text;
    };
    const auto built = large::BuildImages(inputs);
    if (const auto* problem = std::get_if<std::string>(&built)) return named(*problem);
    uint32_t address = 0;
    const auto problem =
        large::CheckImages(std::get<large::DownloadImages>(built), inputs, type, &address);
    if (!problem) return std::nullopt;
    // A write the reader refuses: the component it comes from, the last placed over it.
    const korvel::kit::GloPart* source = nullptr;
    for (const korvel::kit::GloPart& candidate : image.parts) {
        if (address >= candidate.address && address - candidate.address < candidate.size) {
            source = &candidate;
        }
    }
    if (source == nullptr || BankOf(FactsOf(type), address) != nullptr) return named(*problem);
    std::string banks;
    char text[64];
    for (const FlashBank& bank : FactsOf(type).banks) {
        std::snprintf(text, sizeof text, "%s0x%X-0x%X", banks.empty() ? "" : " and ", bank.start,
                      bank.end - 1);
        banks += text;
    }
    std::snprintf(text, sizeof text, "(load address 0x%X) has data for address 0x%X",
                  source->address, address);
    return globalPath + ": the component \"" + source->name + "\" " + text + ", where a " +
           ReaderName(type) + " reader (type " + std::to_string(readerType) +
           ") has no flash: it takes " + banks +
           ". Check the reader type, or use the global file made for this reader";
}

std::optional<GlobalFileRefusal> PrepareGlobalFile(DownloadOptions& options, const PortChoice& port,
                                                   int jsonFd, ExtractedGlobalFile& extracted) {
    std::string error;
    if (!extracted.Create(error)) return GlobalFileRefusal{error, kExitBadInput};
    std::optional<korvel::kit::DetectionResult> detected;
    if (options.reader < 0) {
        // The port word widened with its sign, as the link takes it.
        const auto word = static_cast<int16_t>(
            port.isVirtual ? (static_cast<uint16_t>(port.number) | KV_PORT_VIRTUAL)
                           : static_cast<uint16_t>(port.number));
        korvel::kit::DetectionOptions detection;
        detection.debugFile.clear();  // no "Dbg.txt" left in the user's directory
        const korvel::kit::DetectionResult result =
            korvel::kit::DetectReader(static_cast<ZrPort>(static_cast<int32_t>(word)), detection);
        if (!result.Ok()) {
            std::string message = "the reader on " + port.text + " could not be detected";
            if (!result.detail.empty()) message += " (" + result.detail + ")";
            for (const korvel::kit::DetectionMessage& box : result.messages) {
                message += ": " + box.text;
            }
            if (result.ResetRefused()) {
                message +=
                    "; a global file holds parts for the large readers only (--reader 2 "
                    "to 9)";
            }
            return GlobalFileRefusal{message + "; nothing was downloaded",
                                     DetectionExitCode(result.failure)};
        }
        options.reader = result.readerType;
        detected = result;
    }
    const bool extractedOk = extracted.Extract(options.application, options.reader, error);
    if (extractedOk) {
        options.application = extracted.path();
        options.type = static_cast<int>(KV_DOWNLOAD_BINARY);
    }
    if (detected) {
        // Said even when the extraction is refused: the reader was found.
        const std::string name = ReaderName(static_cast<eReaderType>(detected->readerType));
        const std::string bytes = korvel::kit::IdentificationText(*detected);
        if (options.json) {
            JsonWriter event;
            event.BeginObject().Key("event").String("detected");
            event.Key("reader_type").Number(detected->readerType).Key("name").String(name);
            event.Key("id_bytes").String(bytes);
            // The bytes of the reader's part, for a view that shows several readers.
            if (const uint64_t image = extractedOk ? ImageBytes(options) : 0) {
                event.Key("image_bytes").Number(static_cast<int64_t>(image));
            }
            WriteAll(jsonFd, event.EndObject().text() + "\n");
        } else {
            std::fprintf(stderr,
                         "cordane download: detected reader type %d, %s (identification bytes "
                         "%s)\n",
                         detected->readerType, name.c_str(), bytes.c_str());
        }
    }
    if (!extractedOk) return GlobalFileRefusal{error + "; nothing was downloaded", kExitBadInput};
    return std::nullopt;
}

}  // namespace cordane::tools
