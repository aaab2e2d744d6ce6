#include "download/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <variant>
#include <vector>

#include "cordane/cordane.h"
#include "cordane/formats/cipher.h"
#include "cordane/formats/large_images.h"
#include "cordane/formats/large_layout.h"
#include "cordane/formats/srec.h"
#include "cordane/protocol.h"
#include "cordane/readers.h"
#include "kit/global_file.h"
#include "cli/tool_support.h"

namespace cordane::tools {

std::optional<std::string> CheckFiles(const DownloadOptions& options) {
    const bool binary = options.type == static_cast<int>(KV_DOWNLOAD_AUTO_BINARY) ||
                        options.type == static_cast<int>(KV_DOWNLOAD_BINARY);
    UniqueFd fd;
    struct stat info {};
    if (options.type != kEraseCodeType) {
        const char* wanted = options.globalFile ? "a Binary Global File (.glo)"
                             : binary           ? "a binary download file"
                                                : "an S-record file";
        if (auto problem = OpenInputFile(options.application.c_str(), wanted, fd, info)) {
            return problem;
        }
    }
    if (options.globalFile) {
        // Its structure and every CRC, whatever reader it is cut for: known before any reader is
        // reset or detected.
        const korvel::kit::GloRefusal refusal = korvel::kit::CheckGlobalFileAt(options.application);
        if (refusal.error != korvel::kit::GloError::None) {
            return korvel::kit::RefusalLine(refusal, options.application);
        }
    }
    if (!options.driver.empty()) {
        return OpenInputFile(options.driver.c_str(), "the driver library's S-record file", fd,
                             info);
    }
    return std::nullopt;
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
    InputFile file;
    if (!ReadInput("download", options.application.c_str(), "a binary download file", file,
                   kNeeded) ||
        file.bytes.size() < kNeeded) {
        return;  // too short to decipher: the engine refuses it with its own message
    }
    if (!DecipherImageRegion(file.bytes.data(), file.bytes.size(), large::kFileApp,
                             large::kEnciphered, base)) {
        return;
    }
    CheckAppNumber("download", options.application.c_str(), file.bytes.data(), true);
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

namespace {

// A whole file as the engine reads it; nothing when it cannot be read or is over the limit.
std::optional<std::vector<uint8_t>> ReadWhole(const std::string& path, const char* what) {
    UniqueFd fd;
    struct stat info {};
    if (OpenInputFile(path.c_str(), what, fd, info)) return std::nullopt;
    InputFile file;
    if (!ReadOpenInput("download", path.c_str(), fd.get(), info, kFileTextSize, file) || file.cut) {
        return std::nullopt;
    }
    return std::move(file.bytes);
}

}  // namespace

uint64_t SmallReaderImageSize(const std::string& path) {
    const auto text = ReadWhole(path, "an S-record file");
    if (!text) return 0;
    std::vector<uint8_t> image(kImageBufferSize - 1);  // the engine's buffer, less its 0 byte
    const SrecResult result =
        ConvertSrecPlain(text->data(), text->size(), image.data(), image.size());
    return result.error == SrecError::None ? result.length : 0;
}

uint64_t ImageBytes(const DownloadOptions& options) {
    if (options.application.empty() || options.reader < 0) return 0;
    if (!IsLargeReader(static_cast<eReaderType>(options.reader)))
        return SmallReaderImageSize(options.application);
    // A large reader's download as the engine builds it; an enciphered file (type 1) is only
    // deciphered by the engine, and an erase (type 3) sends no image.
    const auto type = static_cast<uint32_t>(options.type);
    if (type != KV_DOWNLOAD_NORMAL && type != KV_DOWNLOAD_BINARY) return 0;
    large::Inputs inputs;
    inputs.downloadType = type;
    inputs.appPath = options.application;
    inputs.driverPath = options.driver;
    const auto app = ReadWhole(options.application, "the application file");
    if (!app) return 0;
    std::optional<std::vector<uint8_t>> driver;
    if (type == KV_DOWNLOAD_NORMAL) {
        inputs.appText = *app;
        if (!options.driver.empty()) {
            driver = ReadWhole(options.driver, "the driver file");
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

}  // namespace cordane::tools
