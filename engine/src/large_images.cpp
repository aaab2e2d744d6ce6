#include "cordane/formats/large_images.h"

#include <algorithm>
#include <cstring>

#include "base/hex.h"
#include "cordane/formats/binary_image.h"
#include "cordane/formats/large_layout.h"
#include "cordane/formats/srec.h"
#include "cordane/readers.h"

namespace cordane::large {

namespace {

using korvel::base::HexNumber;

constexpr uint32_t kFlashSpan = kUpperEnd;  // every address a large reader's plan may write

const char* RegionName(Region region) {
    return RegionFactsOf(region).name;
}

bool HasData(const uint8_t* bytes, size_t length) {
    return length > 0 && !IsBlank(bytes, length);
}

// Converts one window of an S-record text into a region image.
std::optional<std::string> ConvertWindow(const char* what, const std::string& path,
                                         std::span<const uint8_t> text, uint32_t lower,
                                         uint32_t upper, std::vector<uint8_t>& image) {
    image.assign(kImageCapacity, 0);
    const SrecResult result =
        ConvertSrecWindow(text.data(), text.size(), image.data(), image.size(), lower, upper);
    if (result.error != SrecError::None) return SrecRefusal(what, path, result);
    image.resize(result.length);
    return std::nullopt;
}

std::optional<std::string> ConvertRegion(const char* what, const std::string& path,
                                         std::span<const uint8_t> text, Region region,
                                         std::vector<uint8_t>& image) {
    const RegionFacts& facts = RegionFactsOf(region);
    return ConvertWindow(what, path, text, facts.start, facts.end, image);
}

// Which file gave the byte a region writes at `address`, and where in it for a binary file.
std::string Source(const DownloadImages& images, const Inputs& inputs, Region region,
                   uint32_t address) {
    if (inputs.downloadType != KV_DOWNLOAD_NORMAL) {
        size_t offset = 0;
        if (region == Region::DriverLow) offset = address - kDriverLowStart + kFileDriver;
        if (region == Region::Application) offset = address - kAppCodeStart + kFileApp;
        if (region == Region::Upper) offset = address - kUpperStart + kFileUpper;
        return "the binary file " + inputs.appPath + " (file offset " +
               HexNumber(static_cast<uint32_t>(offset)) + ")";
    }
    const bool overlay = region == Region::DriverLow &&
                         address - kDriverLowStart >= images.overlayBegin &&
                         address - kDriverLowStart < images.overlayEnd;
    const bool app = region == Region::Application || region == Region::Upper || overlay;
    return app ? "the application file " + inputs.appPath : "the driver file " + inputs.driverPath;
}

std::string Banks(const ReaderFacts& facts) {
    std::string text;
    for (const FlashBank& bank : facts.banks) {
        if (!text.empty()) text += " and ";
        text += HexNumber(bank.start) + "-" + HexNumber(bank.end - 1);
    }
    return text;
}

std::string Capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 32);
    return text;
}

}  // namespace

std::variant<DownloadImages, std::string> BuildImages(const Inputs& inputs) {
    DownloadImages images;
    for (size_t i = 0; i < images.regions.size(); ++i) {
        images.regions[i].region = static_cast<Region>(i);
    }
    auto& driverLow = images.regions[0].bytes;
    auto& driverHigh = images.regions[1].bytes;
    auto& application = images.regions[2].bytes;
    auto& upper = images.regions[3].bytes;

    if (inputs.downloadType == KV_DOWNLOAD_NORMAL) {
        const char* app = "application file";
        const char* driver = "driver file";
        std::vector<uint8_t> overlay;
        // The application's windows first, then the driver's: the first refusal is told.
        for (auto problem :
             {ConvertRegion(app, inputs.appPath, inputs.appText, Region::Application, application),
              ConvertRegion(app, inputs.appPath, inputs.appText, Region::Upper, upper),
              ConvertWindow(app, inputs.appPath, inputs.appText, kOverlay.start, kOverlay.end,
                            overlay),
              ConvertRegion(driver, inputs.driverPath, inputs.driverText, Region::DriverHigh,
                            driverHigh),
              ConvertRegion(driver, inputs.driverPath, inputs.driverText, Region::DriverLow,
                            driverLow)}) {
            if (problem) return *problem;
        }
        const size_t driverLength = driverLow.size();
        images.driverHasData =
            (driverLength > 2 && HasData(driverLow.data() + 2, driverLength - 2)) ||
            HasData(driverHigh.data(), driverHigh.size());
        images.appHasData = HasData(application.data(), application.size()) ||
                            HasData(upper.data(), upper.size()) ||
                            HasData(overlay.data(), overlay.size());
        images.total = uint64_t{driverLength} + overlay.size() + driverHigh.size() +
                       application.size() + upper.size();
        if (!overlay.empty()) {
            // The application's records are laid over the driver at their addresses. A driver
            // shorter than the overlay's place is stretched to it with blank bytes: the gap never
            // holds anything but 0xFF.
            const size_t at = kOverlayStart - kDriverLowStart;
            if (driverLow.size() < at + overlay.size()) driverLow.resize(at + overlay.size(), 0xFF);
            std::copy(overlay.begin(), overlay.end(), driverLow.begin() + at);
            images.overlayBegin = at;
            images.overlayEnd = at + overlay.size();
        }
    } else {
        const uint8_t* file = inputs.binary.data();
        const size_t size = inputs.binary.size();
        if (auto problem = CheckBinarySize(inputs.appPath, size)) return *problem;
        driverLow.resize(kDriverLength);
        BuildDriverImage(file, driverLow.data());
        application.resize(std::max(kAppImageFill, AppRegionLength(size)));
        application.resize(BuildAppImage(file, size, application.data()));
        upper.resize(UpperRegionLength(size));
        BuildUpperImage(file, size, upper.data());
        images.total = size - 2;
        images.driverHasData = HasData(file + kFileDriver + 2, kDriverLength - 2);
        images.appHasData = HasData(file + kFileApp, size - kFileApp);
    }
    // The signature's place stays blank until everything else is in.
    for (size_t i = 0; i < std::min<size_t>(2, driverLow.size()); ++i) driverLow[i] = 0xFF;
    return images;
}

std::optional<std::string> CheckImages(const DownloadImages& images, const Inputs& inputs,
                                       eReaderType type, uint32_t* faultAddress) {
    const bool srec = inputs.downloadType == KV_DOWNLOAD_NORMAL;
    const std::string what = srec ? "application file" : "binary file";
    if (!images.appHasData) {
        return "The " + what + " " + inputs.appPath +
               " holds no application data for a large reader (nothing in 0xD000-0x7FFFF, "
               "0x100000-0x17FFFF or 0x4300-0x471F): there is nothing to download. Check that it "
               "is this reader's application.";
    }
    if (!images.driverHasData) {
        const std::string which =
            srec ? "The driver file " + inputs.driverPath : "The binary file " + inputs.appPath;
        return which +
               " holds no driver library (nothing in 0x4002-0xDFFF or 0x70000-0x7FFFF): there is "
               "nothing to download. Check that it is this reader's driver library.";
    }
    // The writes the download makes, in its order, on a flash that starts erased: a loader
    // refuses a byte outside its banks and a byte that would need an erased bit back.
    const ReaderFacts& facts = FactsOf(type);
    std::vector<uint8_t> flash(kFlashSpan, 0xFF);
    std::vector<uint8_t> writer(kFlashSpan, 0);  // 1 + the region that wrote a byte; 0: none
    for (const RegionImage& image : images.regions) {
        if (image.bytes.empty()) continue;
        const RegionPlan plan =
            PlanRegion(image.region, image.bytes.data(), image.bytes.size(), 0, 1);
        for (const PlannedBlock& block : plan.blocks) {
            if (!block.send) continue;
            for (size_t i = 0; i < block.length; ++i) {
                const uint32_t address = block.address + static_cast<uint32_t>(i);
                const uint8_t byte = image.bytes[block.offset + i];
                const bool outside = !BankOf(facts, address) || address >= kFlashSpan;
                const bool refused = outside || (byte & ~flash[address] & 0xFF) != 0;
                if (refused && faultAddress) *faultAddress = address;
                if (outside) {
                    return Capitalised(Source(images, inputs, image.region, address)) +
                           " has data for address " + HexNumber(address) + " (" +
                           RegionName(image.region) + "), where a " + ReaderName(type) +
                           " reader has no flash: it takes " + Banks(facts) +
                           ". Check the reader type and the file.";
                }
                if ((byte & ~flash[address] & 0xFF) != 0) {
                    const Region first = static_cast<Region>(writer[address] - 1);
                    const std::string a = Source(images, inputs, first, address);
                    const std::string b = Source(images, inputs, image.region, address);
                    const std::string who = a == b ? Capitalised(a) + " holds"
                                                   : Capitalised(a) + " and " + b + " both hold";
                    return who + " data for address " + HexNumber(address) + " (" +
                           RegionName(first) + " and " + RegionName(image.region) +
                           "): the reader cannot program the same flash byte twice. Rebuild the "
                           "files so that they do not overlap.";
                }
                flash[address] &= byte;
                writer[address] = static_cast<uint8_t>(static_cast<size_t>(image.region) + 1);
            }
        }
    }
    return std::nullopt;
}

}  // namespace cordane::large
