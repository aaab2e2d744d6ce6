#include "download/files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <variant>
#include <vector>

#include "base/read_file.h"
#include "cli/arguments.h"
#include "cli/user_files.h"
#include "cordane/cordane.h"
#include "cordane/formats/cipher.h"
#include "cordane/formats/large_images.h"
#include "cordane/formats/large_layout.h"
#include "cordane/formats/srec.h"
#include "cordane/protocol.h"
#include "cordane/readers.h"
#include "kit/global_file.h"

namespace cordane::tools {

namespace {

using korvel::base::Expected;

// The file at `path` checked for reading as the engine will read it, without reading it.
Expected<void> CheckReadable(const std::string& path, const std::string& wanted) {
    const Expected<korvel::base::FileInfo> info = korvel::base::CheckReadable(path);
    if (!info) return GiveInstead(info.error(), wanted);
    return {};
}

// A whole file as the engine reads it; nothing when it cannot be read or is over the engine's
// limit (the engine then says why).
std::optional<std::vector<uint8_t>> ReadWhole(const std::string& path) {
    korvel::base::Expected<korvel::base::FileBytes> file =
        korvel::base::ReadWholeFile(path, {.limit = kFileTextSize});
    if (!file) return std::nullopt;
    return std::move(file->bytes);
}

// The image a 64 Kb reader gets, converted the way the engine converts it; 0 when the file
// cannot be read or converted (the engine itself then reports what is wrong).
uint64_t SmallReaderImageBytes(const std::string& path) {
    const auto text = ReadWhole(path);
    if (!text) return 0;
    std::vector<uint8_t> image(kImageBufferSize - 1);  // the engine's buffer, less its 0 byte
    const SrecResult result =
        ConvertSrecPlain(text->data(), text->size(), image.data(), image.size());
    return result.error == SrecError::None ? result.length : 0;
}

// The progress total of a large reader's download, from the images built as the engine builds
// them; 0 when unknown: an enciphered file (type 1) is only deciphered by the engine, an erase
// (type 3) sends no image, and files the engine refuses make none.
uint64_t LargeReaderImageBytes(const DownloadOptions& options) {
    const auto type = static_cast<uint32_t>(options.type);
    if (type != KV_DOWNLOAD_NORMAL && type != KV_DOWNLOAD_BINARY) return 0;
    large::Inputs inputs;
    inputs.downloadType = type;
    inputs.appPath = options.application;
    inputs.driverPath = options.driver;
    const auto app = ReadWhole(options.application);
    if (!app) return 0;
    std::optional<std::vector<uint8_t>> driver;
    if (type == KV_DOWNLOAD_NORMAL) {
        inputs.appText = *app;
        if (!options.driver.empty()) {
            driver = ReadWhole(options.driver);
            if (!driver) return 0;
            inputs.driverText = *driver;
        }
    } else {
        inputs.binary = *app;
    }
    const auto built = large::BuildImages(inputs);
    const auto* images = std::get_if<large::DownloadImages>(&built);
    return images ? images->total : 0;
}

}  // namespace

Expected<CheckedFiles> CheckFiles(const DownloadOptions& options) {
    const bool binary = options.type == static_cast<int>(KV_DOWNLOAD_AUTO_BINARY) ||
                        options.type == static_cast<int>(KV_DOWNLOAD_BINARY);
    if (options.type != static_cast<int>(KV_DOWNLOAD_ERASE_CODE)) {
        const char* wanted = options.globalFile ? "a Binary Global File (.glo)"
                             : binary           ? "a binary download file"
                                                : "an S-record file";
        KORVEL_TRY(CheckReadable(options.application, wanted));
    }
    CheckedFiles checked;
    if (options.globalFile) {
        // Its structure and every CRC, whatever reader it is cut for: known before any reader is
        // reset or detected. Its part's bytes are known once the part is extracted.
        const korvel::kit::GloRefusal refusal = korvel::kit::CheckGlobalFileAt(options.application);
        if (refusal.error != korvel::kit::GloError::None) {
            return korvel::base::Fail(korvel::kit::RefusalLine(refusal, options.application));
        }
        return checked;
    }
    if (!options.driver.empty()) {
        KORVEL_TRY(CheckReadable(options.driver, "the driver library's S-record file"));
    }
    // The files, read once, as the engine will build its images from them.
    if (!options.application.empty() && options.reader >= 0) {
        checked.imageBytes = IsLargeReader(static_cast<eReaderType>(options.reader))
                                 ? LargeReaderImageBytes(options)
                                 : SmallReaderImageBytes(options.application);
    }
    return checked;
}

void WarnAboutAppNumber(const DownloadOptions& options, uint32_t selector) {
    if (options.type != static_cast<int>(KV_DOWNLOAD_AUTO_BINARY) ||
        !IsLargeReader(static_cast<eReaderType>(options.reader))) {
        return;
    }
    uint8_t base[kBaseKeySize] = {};
    if (options.key.key) {
        std::copy(options.key.key->begin(), options.key.key->end(), base);
    } else if (!BuiltInBaseKey(selector, base)) {
        return;
    }
    constexpr size_t kNeeded = large::kFileApp + large::kEnciphered;
    korvel::base::Expected<korvel::base::FileBytes> file = korvel::base::ReadWholeFile(
        options.application,
        {.limit = kNeeded, .overLimit = korvel::base::OverLimit::KeepBeginning});
    if (!file) {
        // Checked before: the file went away or changed meanwhile, which the engine reports.
        ReportError("download", GiveInstead(file.error(), "a binary download file"));
        return;
    }
    std::vector<uint8_t>& bytes = file->bytes;
    if (bytes.size() < kNeeded) return;  // too short to decipher: the engine refuses it itself
    if (!DecipherImageRegion(bytes.data(), bytes.size(), large::kFileApp, large::kEnciphered,
                             base)) {
        return;
    }
    if (const auto warning = AppNumberWarning(options.application, bytes.data(), true)) {
        std::fprintf(stderr, "cordane download: %s\n", warning->c_str());
    }
}

void WarnUnusedChecks(const DownloadOptions& options) {
    const bool given =
        options.appNumber || options.identity || options.key.selector || options.key.key;
    const bool used = options.type == KV_DOWNLOAD_AUTO_BINARY && options.reader >= KvOrb512;
    if (given && !used) {
        std::fputs(
            "cordane download: note: --check-app-number, --identity, --key-selector and --key "
            "act only in download type 1 (--type 1) on the large readers (--reader 2 to 9); "
            "they are ignored for this download\n",
            stderr);
    }
}

}  // namespace cordane::tools
