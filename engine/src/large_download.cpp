// The download procedure of the large readers (types 2 to 9): the application checks, the flash
// erase, the driver library and the application sent region by region, the optional data-flash
// erase, and the end of the session.

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "binary_image.h"
#include "cipher.h"
#include "engine_state.h"
#include "exchange.h"
#include "job_fields.h"
#include "key_registry.h"
#include "large_layout.h"
#include "large_plan.h"
#include "procedures.h"
#include "routines.h"
#include "srec.h"
#include "status.h"

namespace cordane {

namespace {

using namespace large;

constexpr const char* kOpenApp = "Error opening application file.";
constexpr const char* kReadApp = "Error reading application file.";
constexpr const char* kOpenDriver = "Error opening driver file.";
constexpr const char* kReadDriver = "Error reading driver file.";
constexpr const char* kNoMemory = "Error allocationg memory!";
constexpr const char* kWrongNumber = "Trying to download incorrect application number!";
constexpr const char* kDataFlashQuestion = "Do you really want to erase the data flash memory?";

constexpr uint32_t kDownloadTypeMask = ~(KV_FLAG_ERASE_DATA_FLASH | KV_FLAG_ASK_QUESTION);

// ---- Reading files and building region images. Each step answers an error text or nothing,
// so that the same steps serve the check before the session and the download itself.

using Error = std::optional<std::string>;

// Reads at most buffer.size() bytes of a file into buffer.
Error ReadFile(const std::string& path, std::vector<uint8_t>& buffer, size_t* length,
               const char* openError, const char* readError) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) return openError;
    *length = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (std::ferror(file.get())) return readError;
    return std::nullopt;
}

// Converts the records of a window into image (capacity bytes).
Error Convert(const std::string& path, const std::vector<uint8_t>& text, size_t textLength,
              uint8_t* image, size_t capacity, uint32_t lower, uint32_t upper, size_t* length,
              bool banner = true) {
    if (banner) PrintConversionBanner();
    const SrecResult result =
        ConvertSrecWindow(text.data(), textLength, image, capacity, lower, upper);
    if (result.error != SrecError::None) {
        char text_[384];
        std::snprintf(
            text_, sizeof text_,
            "The file %s cannot be downloaded: the record at byte %zu (address 0x%06" PRIX32
            ") %s. Rebuild the file and try again.",
            path.c_str(), result.offset, result.address, SrecErrorText(result.error));
        return std::string(text_);
    }
    *length = result.length;
    return std::nullopt;
}

// A binary download file, read whole into a buffer of its size + 0xA000 and, in download type 1,
// deciphered.
struct BinaryFile {
    std::vector<uint8_t> bytes;
    size_t size = 0;
};

Error ReadBinary(const std::string& path, uint32_t downloadType, uint32_t keySelector,
                 BinaryFile& file) {
    File handle(std::fopen(path.c_str(), "rb"));
    if (!handle) return kOpenApp;
    if (std::fseek(handle.get(), 0, SEEK_END) != 0) return kReadApp;
    const long size = std::ftell(handle.get());
    if (size < 0 || std::fseek(handle.get(), 0, SEEK_SET) != 0) return kReadApp;
    file.size = static_cast<size_t>(size);
    if (auto problem = CheckBinarySize(path, file.size)) return problem;
    char text[384];
    try {
        file.bytes.assign(file.size + kFileSlack, 0);
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    }
    if (std::fread(file.bytes.data(), 1, file.size, handle.get()) != file.size) return kReadApp;
    if (downloadType == KV_DOWNLOAD_AUTO_BINARY) {
        uint8_t key[8];
        if (!BaseKeyFor(keySelector, key)) {
            std::snprintf(text, sizeof text,
                          "No base key is registered for key selector %" PRIu32
                          ": the enciphered file %s cannot be read. Register the key "
                          "(RegisterBaseKey) before the download.",
                          keySelector, path.c_str());
            return std::string(text);
        }
        // The buffer's slack holds the whole region even for the shortest file.
        if (!DecipherImageRegion(file.bytes.data(), file.bytes.size(), kFileApp, kEnciphered,
                                 key)) {
            return kReadApp;
        }
    }
    return std::nullopt;
}

// ---- The procedure.

class LargeDownload {
  public:
    explicit LargeDownload(Job& job) : job_(job), client_(job.client) {}
    void Run();

  private:
    [[noreturn]] void FileFail(const Error& error) { job_.Fail(kStatusFile, error->c_str()); }
    void Check(const Error& error) {
        if (error) FileFail(error);
    }
    // An answered frame through ExchangeLoaderFrame; any failure reads "Download error.".
    void Exchange(const LoaderHeader& header, const uint8_t* payload) {
        const int result = ExchangeLoaderFrame(job_.link, payload, header);
        if (result != kStatusOk) job_.Fail(result, kDownloadErrorText);
    }
    void RunRoutine(const uint8_t* routine, size_t length, uint32_t load = kRoutineAddress) {
        Exchange({static_cast<int16_t>(length), LoaderCommand::RunRoutine, kRoutineAddress, load},
                 routine);
    }
    void LoadRoutine(const uint8_t* routine, size_t length) {
        Exchange({static_cast<int16_t>(length), LoaderCommand::LoadRoutine, kRoutineAddress,
                  kRoutineAddress},
                 routine);
    }

    void ApplicationChecks();
    void IdentityCheck();
    void NumberCheck();
    void PrepareTotal();
    void Transfer();
    void SendRegion(Region region, size_t length);
    void EraseDataFlash();

    uint8_t* Image() { return image_.data() + 1; }
    std::string AppPath() const { return PathOf(client_.applicationFile); }
    std::string DriverPath() const { return PathOf(client_.driverFile); }
    void ReadSrec(bool driver) {
        Check(ReadFile(driver ? DriverPath() : AppPath(), text_, &textLength_,
                       driver ? kOpenDriver : kOpenApp, driver ? kReadDriver : kReadApp));
    }
    size_t ConvertInto(uint8_t* image, size_t capacity, uint32_t lower, uint32_t upper,
                       bool driver) {
        size_t length = 0;
        Check(Convert(driver ? DriverPath() : AppPath(), text_, textLength_, image, capacity, lower,
                      upper, &length));
        return length;
    }

    Job& job_;
    CLoadInterface& client_;
    ParamBlock params_ = CurrentParamBlock();
    uint32_t downloadType_ = 0;
    std::vector<uint8_t> text_;  // S-record file text (download type 0)
    size_t textLength_ = 0;
    std::vector<uint8_t> image_;  // one 0 byte, then the region being sent
    BinaryFile binary_;           // the binary download file (types 1 and 2)
    size_t driverLowLength_ = 0;
    uint64_t total_ = 0;  // progress total T
    uint64_t count_ = 0;  // full-block bytes handled, C
};

void LargeDownload::Run() {
    try {
        text_.assign(kFileBufferSize, 0);
        image_.assign(large::kImageBufferSize, 0);
    } catch (const std::bad_alloc&) {
        job_.Fail(kStatusFile, kNoMemory);
    }
    const bool ask = (client_.flags & KV_FLAG_ASK_QUESTION) != 0;
    bool eraseData = (client_.flags & KV_FLAG_ERASE_DATA_FLASH) != 0;
    client_.flags &= kDownloadTypeMask;
    const bool eraseCode = (client_.flags & KV_FLAG_ERASE_CODE) != 0;
    downloadType_ = client_.flags;

    ApplicationChecks();

    if (ask && eraseData) {
        // Asked whatever the message-box switch: the operator's data is at stake.
        eraseData =
            KvMessageBox(0, kDataFlashQuestion, "Download", MB_YESNO | MB_ICONQUESTION) == IDYES;
    }

    job_.Message("Erasing Flash memory...");
    client_.KvpBarStepIt();
    ZrTimeOut(job_.link.Get(), 30000);
    RunRoutine(routines::kFlashErase.data(), routines::kFlashErase.size());
    ZrTimeOut(job_.link.Get(), 3000);

    if (!eraseCode) {
        KvSleep(1);
        LoadRoutine(routines::kProgramLarge.data(), routines::kProgramLarge.size());
        client_.KvpBarStepIt();
        PrepareTotal();
        Transfer();
    }

    if (eraseData) {
        EraseDataFlash();
    } else {
        KvSleep(1);
        Exchange({0, LoaderCommand::EndSession, 0, 0}, nullptr);
    }

    text_ = {};
    image_ = {};
    binary_ = {};
    client_.KvpBarSetPos(100);
    job_.Message("Download completed.");
    KvSleep(2000);
}

void LargeDownload::ApplicationChecks() {
    if (downloadType_ != KV_DOWNLOAD_AUTO_BINARY) return;
    if (ParamField(params_, KV_PARAM_IDENTITY_CHECK) != 0) IdentityCheck();
    if (ParamField(params_, KV_PARAM_CHECK_APP_NUMBER) == 1) NumberCheck();
}

void LargeDownload::IdentityCheck() {
    BinaryFile file;
    Check(ReadBinary(AppPath(), downloadType_, ParamField(params_, KV_PARAM_KEY_SELECTOR), file));
    if (FileIdentity(file.bytes.data()) != ParamField(params_, KV_PARAM_EXPECTED_IDENTITY)) {
        if (job_.boxesOn) {
            KvMessageBox(client_.ownerWindow, "Fichier à télécharger incorrect!",
                         "Erreur au chargement", MB_OK | MB_ICONERROR);
        }
        job_.Notice(KV_NOTICE_OVER);
        job_.link.Close();
        throw JobEnded{kStatusFile};
    }
}

void LargeDownload::NumberCheck() {
    BinaryFile file;
    Check(ReadBinary(AppPath(), downloadType_, ParamField(params_, KV_PARAM_KEY_SELECTOR), file));
    const uint8_t* digits = file.bytes.data() + kFileAppNumber;
    if (FileAppNumber(file.bytes.data()) != ParamField(params_, KV_PARAM_APP_NUMBER)) {
        KvSleep(1);
        const auto endSession = BuildLoaderHeader({0, LoaderCommand::EndSession, 0, 0});
        if (ZrSendMessage(job_.link.Get(), endSession.data(), endSession.size()) != 0) {
            job_.FailStatus(kStatusCommunication);
        }
        KvSleep(10);
        ShowError(kWrongNumber, client_, job_.boxesOn);
        job_.link.Close();
        job_.Notice(KV_NOTICE_OVER);
        throw JobEnded{kStatusCommunication};
    }
    auto routine = routines::kAppNumberCheck;
    const uint32_t previous[2] = {ParamField(params_, KV_PARAM_PREVIOUS_APP_1),
                                  ParamField(params_, KV_PARAM_PREVIOUS_APP_2)};
    for (size_t i = 0; i < 3; ++i) routine[routines::kAppNumberDigits[0][i]] = digits[i];
    for (size_t group = 1; group < 3; ++group) {
        char text[16];
        std::snprintf(text, sizeof text, "%03" PRIu32, previous[group - 1]);
        for (size_t i = 0; i < 3; ++i) routine[routines::kAppNumberDigits[group][i]] = text[i];
    }
    ZrTimeOut(job_.link.Get(), 500);
    const int result =
        ExchangeLoaderFrame(job_.link, routine.data(),
                            {static_cast<int16_t>(routine.size()), LoaderCommand::RunRoutine,
                             kRoutineAddress, kRoutineAddress});
    if (result != kStatusOk) job_.Fail(result, kWrongNumber);
}

void LargeDownload::PrepareTotal() {
    if (downloadType_ == KV_DOWNLOAD_NORMAL) {
        ReadSrec(false);
        const size_t app = ConvertInto(Image(), kImageCapacity, kAppStart, kAppEnd, false);
        const size_t upper = ConvertInto(Image(), kImageCapacity, kUpperStart, kUpperEnd, false);
        ReadSrec(true);
        const size_t high =
            ConvertInto(Image(), kImageCapacity, kDriverHighStart, kDriverHighEnd, true);
        driverLowLength_ =
            ConvertInto(Image(), kImageCapacity, kDriverLowStart, kDriverLowEnd, true);
        ReadSrec(false);
        const size_t at = kOverlayStart - kDriverLowStart;
        const size_t overlay =
            ConvertInto(Image() + at, kImageCapacity - at, kOverlayStart, kOverlayEnd, false);
        total_ = uint64_t{driverLowLength_} + overlay + high + app + upper;
        // An overlay reaching past the driver's own image is sent whole.
        if (overlay > 0) driverLowLength_ = std::max(driverLowLength_, at + overlay);
    } else {
        Check(ReadBinary(AppPath(), downloadType_, ParamField(params_, KV_PARAM_KEY_SELECTOR),
                         binary_));
        driverLowLength_ = BuildDriverImage(binary_.bytes.data(), Image());
        total_ = binary_.size - 2;
    }
}

void LargeDownload::Transfer() {
    job_.Message("Downloading the driver library...");
    // The signature's place stays blank until everything else is in.
    Image()[0] = 0xFF;
    Image()[1] = 0xFF;
    SendRegion(Region::DriverLow, driverLowLength_);

    if (downloadType_ == KV_DOWNLOAD_NORMAL) {
        ReadSrec(true);
        const size_t high =
            ConvertInto(Image(), kImageCapacity, kDriverHighStart, kDriverHighEnd, true);
        if (high > 0) SendRegion(Region::DriverHigh, high);
    }
    CheckCancel(job_);

    size_t appLength;
    if (downloadType_ == KV_DOWNLOAD_NORMAL) {
        ReadSrec(false);
        appLength = ConvertInto(Image(), kImageCapacity, kAppStart, kAppEnd, false);
    } else {
        appLength = BuildAppImage(binary_.bytes.data(), binary_.size, Image());
    }
    job_.Message("Downloading the application...");
    SendRegion(Region::Application, appLength);

    size_t upperLength;
    if (downloadType_ == KV_DOWNLOAD_NORMAL) {
        upperLength = ConvertInto(Image(), kImageCapacity, kUpperStart, kUpperEnd, false);
    } else {
        upperLength = BuildUpperImage(binary_.bytes.data(), binary_.size, Image());
    }
    if (upperLength > 0) SendRegion(Region::Upper, upperLength);
    CheckCancel(job_);

    KvSleep(1);
    Exchange(
        {static_cast<int16_t>(kSignature.size()), LoaderCommand::WriteBlock, 0, kDriverLowStart},
        kSignature.data());
}

void LargeDownload::SendRegion(Region region, size_t length) {
    EngineProgress().total.store(static_cast<uint32_t>(length), std::memory_order_relaxed);
    const RegionPlan plan = PlanRegion(region, Image(), length, count_, total_);
    for (const PlannedBlock& block : plan.blocks) {
        if (block.percent >= 0) client_.KvpBarSetPos(block.percent);
        if (!block.send) continue;
        if (block.pause) KvSleep(block.pause);
        Exchange({static_cast<int16_t>(block.length), LoaderCommand::WriteBlock, 0, block.address},
                 Image() + block.offset);
    }
    count_ = plan.countAfter;
}

void LargeDownload::EraseDataFlash() {
    job_.Message("Erasing Data Flash memory...");
    client_.KvpBarStepIt();
    const eReaderType type = client_.readerType;
    if (type == KvQuin3 || type == KvOrb1Mb || type == KvTal1Mb) {
        const unsigned result = ZrEraseData1M(PortIdentifier(client_.portWord), job_.link.Out());
        if (result >= ZR_FAIL_BASE) {
            // The link is the serial link's own during the call: it is left as it returned it.
            const int status = static_cast<int>(result - ZR_FAIL_BASE);
            ReportStatus(status, client_, job_.boxesOn);
            job_.Notice(KV_NOTICE_OVER);
            throw JobEnded{static_cast<unsigned>(status)};
        }
        return;
    }
    ZrTimeOut(job_.link.Get(), 10000);
    LoadRoutine(routines::kDataFlashEraseCore.data(), routines::kDataFlashEraseCore.size());
    ZrTimeOut(job_.link.Get(), 10000);
    // The reader starts erasing and answers nothing: the frame is only sent.
    const auto header =
        BuildLoaderHeader({static_cast<int16_t>(routines::kDataFlashEraseStart.size()),
                           LoaderCommand::RunRoutine, kRoutineAddress, kDataFlashStartLoad});
    std::array<uint8_t, kHeaderSize + routines::kDataFlashEraseStart.size()> frame{};
    std::copy(header.begin(), header.end(), frame.begin());
    std::copy(routines::kDataFlashEraseStart.begin(), routines::kDataFlashEraseStart.end(),
              frame.begin() + kHeaderSize);
    if (ZrSendMessage(job_.link.Get(), frame.data(), static_cast<int>(frame.size())) != 0) {
        job_.Fail(kStatusCommunication, kDownloadErrorText);
    }
}

}  // namespace

void LargeReaderDownload(Job& job) {
    LargeDownload(job).Run();
}

std::optional<std::string> CheckLargeReaderFiles(const CLoadInterface& client) {
    const uint32_t type = client.flags & kDownloadTypeMask;
    if (client.flags & KV_FLAG_ERASE_CODE) return std::nullopt;
    const std::string app = PathOf(client.applicationFile);
    if (type != KV_DOWNLOAD_NORMAL) {
        const ParamBlock params = CurrentParamBlock();
        if (type == KV_DOWNLOAD_AUTO_BINARY && ParamField(params, KV_PARAM_CHECK_APP_NUMBER) == 1) {
            // Only three digits of each previous number reach the reader: a longer one would be
            // judged as another number.
            for (size_t offset : {KV_PARAM_PREVIOUS_APP_1, KV_PARAM_PREVIOUS_APP_2}) {
                const uint32_t previous = ParamField(params, offset);
                if (previous > 999) {
                    return "The previous application number " + std::to_string(previous) +
                           " has more than three digits: give numbers from 0 to 999.";
                }
            }
        }
        BinaryFile file;
        return ReadBinary(app, type, ParamField(params, KV_PARAM_KEY_SELECTOR), file);
    }
    std::vector<uint8_t> text, image;
    try {
        text.assign(kFileBufferSize, 0);
        image.assign(kImageCapacity, 0);
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    }
    struct Window {
        bool driver;
        uint32_t lower, upper;
    };
    constexpr Window kWindows[] = {{false, kAppStart, kAppEnd},
                                   {false, kUpperStart, kUpperEnd},
                                   {false, kOverlayStart, kOverlayEnd},
                                   {true, kDriverHighStart, kDriverHighEnd},
                                   {true, kDriverLowStart, kDriverLowEnd}};
    const std::string driver = PathOf(client.driverFile);
    size_t textLength = 0;
    bool readDriver = false;
    for (const Window& window : kWindows) {
        if (window.driver != readDriver || textLength == 0) {
            Error error = window.driver
                              ? ReadFile(driver, text, &textLength, kOpenDriver, kReadDriver)
                              : ReadFile(app, text, &textLength, kOpenApp, kReadApp);
            if (error) return error;
            readDriver = window.driver;
        }
        size_t length = 0;
        Error error = Convert(window.driver ? driver : app, text, textLength, image.data(),
                              image.size(), window.lower, window.upper, &length, false);
        if (error) return error;
    }
    return std::nullopt;
}

}  // namespace cordane
