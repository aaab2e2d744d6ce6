#include "download/global_file.h"

#include <cstdio>
#include <optional>
#include <variant>
#include <vector>

#include "base/json_writer.h"
#include "cli/arguments.h"
#include "cordane/cordane.h"
#include "cordane/exit_codes.h"
#include "cordane/formats/large_images.h"
#include "cordane/readers.h"

#include "kit/detection.h"
#include "kit/global_file.h"

namespace cordane::tools {

using korvel::base::JsonWriter;

namespace {

using korvel::base::Error;
using korvel::base::Expected;
using korvel::base::Fail;

constexpr char kBinName[] = "global.bin";

// As "cordane detect" exits: 3 when the reader did not open, 4 for any other failure.
int DetectionExitCode(korvel::kit::DetectionFailure failure) {
    return failure == korvel::kit::DetectionFailure::OpenFailed ? kExitOpenFailed
                                                                : kExitCommunication;
}

}  // namespace

Expected<void> ExtractedGlobalFile::Create() {
    // The file, and its temporary sibling ("global.bin.*") if a write was cut short.
    KORVEL_ASSIGN_OR_RETURN(folder_, korvel::base::TemporaryFolder::Create(
                                         "cordane-glo-", {kBinName, /*withPrefixed=*/true}));
    return {};
}

Expected<uint64_t> ExtractedGlobalFile::Extract(const std::string& globalPath, int readerType) {
    const korvel::kit::GloExtraction extraction =
        korvel::kit::ExtractGlobalFileTo(globalPath, readerType, folder_.EntryPath());
    if (!extraction.Ok()) {
        if (extraction.refusal.error == korvel::kit::GloError::CannotWrite) {
            // The temporary file is ours, not the user's: say what it was for.
            return Fail("cannot write the part of " + globalPath + " for reader type " +
                            std::to_string(readerType) + " to a temporary file in " +
                            folder_.path() + ": " + extraction.refusal.detail,
                        "set TMPDIR to a writable directory with room");
        }
        return Fail(korvel::kit::RefusalLine(extraction.refusal, globalPath));
    }
    file_ = extraction.binPath;
    return CheckPart(globalPath, readerType, extraction.image);
}

Expected<uint64_t> ExtractedGlobalFile::CheckPart(const std::string& globalPath, int readerType,
                                                  const korvel::kit::GloImage& image) const {
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
    if (const auto* problem = std::get_if<std::string>(&built)) return Fail(named(*problem));
    const large::DownloadImages& images = std::get<large::DownloadImages>(built);
    uint32_t address = 0;
    const auto problem = large::CheckImages(images, inputs, type, &address);
    if (!problem) return images.total;
    // A write the reader refuses: the component it comes from, the last placed over it.
    const korvel::kit::GloPart* source = nullptr;
    for (const korvel::kit::GloPart& candidate : image.parts) {
        if (address >= candidate.address && address - candidate.address < candidate.size) {
            source = &candidate;
        }
    }
    if (source == nullptr || BankOf(FactsOf(type), address) != nullptr) {
        return Fail(named(*problem));
    }
    std::string banks;
    char text[64];
    for (const FlashBank& bank : FactsOf(type).banks) {
        std::snprintf(text, sizeof text, "%s0x%X-0x%X", banks.empty() ? "" : " and ", bank.start,
                      bank.end - 1);
        banks += text;
    }
    std::snprintf(text, sizeof text, "(load address 0x%X) has data for address 0x%X",
                  source->address, address);
    return Fail(globalPath + ": the component \"" + source->name + "\" " + text + ", where a " +
                ReaderName(type) + " reader (type " + std::to_string(readerType) +
                ") has no flash: it takes " + banks +
                ". Check the reader type, or use the global file made for this reader");
}

Expected<uint64_t> PrepareGlobalFile(DownloadOptions& options, const PortChoice& port,
                                     korvel::base::File& json, ExtractedGlobalFile& extracted) {
    KORVEL_TRY(extracted.Create());
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
            return Error(DetectionExitCode(result.failure), message + "; nothing was downloaded");
        }
        options.reader = result.readerType;
        detected = result;
    }
    const Expected<uint64_t> part = extracted.Extract(options.application, options.reader);
    if (part) {
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
            if (part && *part > 0) event.Key("image_bytes").Unsigned(*part);
            (void)json.WriteAll(event.EndObject().text() + "\n");
        } else {
            std::fprintf(stderr,
                         "cordane download: detected reader type %d, %s (identification bytes "
                         "%s)\n",
                         detected->readerType, name.c_str(), bytes.c_str());
        }
    }
    if (!part)
        return Error(part.error().code, ErrorLine(part.error()) + "; nothing was downloaded");
    return *part;
}

}  // namespace cordane::tools
