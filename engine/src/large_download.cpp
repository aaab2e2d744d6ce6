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

#include "cordane/formats/binary_image.h"
#include "cordane/formats/cipher.h"
#include "cordane/formats/large_images.h"
#include "cordane/formats/large_layout.h"
#include "cordane/formats/large_plan.h"
#include "cordane/formats/srec.h"
#include "cordane/routines.h"
#include "engine_state.h"
#include "exchange.h"
#include "file_read.h"
#include "job_fields.h"
#include "key_registry.h"
#include "procedures.h"
#include "status.h"

namespace cordane {

namespace {

using namespace large;

constexpr const char* kOpenApp = "Error opening application file.";
constexpr const char* kReadApp = "Error reading application file.";
constexpr const char* kOpenDriver = "Error opening driver file.";
constexpr const char* kReadDriver = "Error reading driver file.";
constexpr const char* kWrongNumber = "Trying to download incorrect application number!";
constexpr const char* kDataFlashQuestion = "Do you really want to erase the data flash memory?";

constexpr uint32_t kDownloadTypeMask = ~(KV_FLAG_ERASE_DATA_FLASH | KV_FLAG_ASK_QUESTION);

// ---- Reading the files. Each step answers an error text or nothing.

using Error = std::optional<std::string>;

// The text for a file that cannot be read: the message of the step, then the reason.
std::string ReadFailure(const char* message, const std::string& path, const FileBytes& file,
                        size_t limit) {
    return std::string(message) + " " + path + ": " + FileFaultReason(file, limit) + ".";
}

// An S-record file, read whole.
Error ReadText(const std::string& path, bool driver, FileBytes& file) {
    file = ReadWholeFile(path, kFileTextSize);
    if (file.fault == FileFault::None) return std::nullopt;
    const bool opening = file.fault != FileFault::TooLarge && file.fault != FileFault::Unreadable;
    const char* message =
        driver ? (opening ? kOpenDriver : kReadDriver) : (opening ? kOpenApp : kReadApp);
    return ReadFailure(message, path, file, kFileTextSize);
}

// A binary download file, read whole into a buffer of its size + 0xA000 and, in download type 1,
// deciphered.
Error ReadBinary(const std::string& path, uint32_t downloadType, uint32_t keySelector,
                 std::vector<uint8_t>& bytes) {
    constexpr size_t kLongest = kFileUpper + kImageCapacity;  // its upper part ends at 0x17FFFF
    FileBytes file = ReadWholeFile(path, kLongest, kFileSlack);
    if (file.fault == FileFault::TooLarge) {
        if (auto problem = CheckBinarySize(path, file.size)) return problem;
    }
    if (file.fault != FileFault::None) {
        return ReadFailure(file.fault == FileFault::Unreadable ? kReadApp : kOpenApp, path, file,
                           kLongest);
    }
    if (auto problem = CheckBinarySize(path, file.size)) return problem;
    if (downloadType == KV_DOWNLOAD_AUTO_BINARY) {
        uint8_t key[8];
        if (!BaseKeyFor(keySelector, key)) {
            char text[384];
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
            return std::string(kReadApp) + " " + path + ": its enciphered region does not fit.";
        }
    }
    file.bytes.resize(static_cast<size_t>(file.size) + kFileSlack);
    bytes = std::move(file.bytes);
    return std::nullopt;
}

// ---- The procedure.

class LargeDownload {
  public:
    LargeDownload(Job& job, const LargeFiles* files)
        : job_(job), client_(job.client), params_(job.params), files_(files) {}
    void Run();

  private:
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
    void Transfer();
    void SendRegion(Region region);
    void EraseDataFlash();

    Job& job_;
    CLoadInterface& client_;
    const ParamBlock& params_;
    const LargeFiles* files_;  // null for an erase-only job
    uint32_t downloadType_ = 0;
    uint64_t count_ = 0;  // full-block bytes handled, C
};

void LargeDownload::Run() {
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
    ZrTimeOut(job_.link.Get(), timing::kFlashEraseTimeout);
    RunRoutine(routines::kFlashErase.data(), routines::kFlashErase.size());
    ZrTimeOut(job_.link.Get(), timing::kLargeTimeout);

    if (!eraseCode) {
        // The files were read and checked before the reset; an erase-only job has none.
        if (!files_) job_.Fail(kStatusFile, kOpenApp);
        KvSleep(timing::kLargePause);
        LoadRoutine(routines::kProgramLarge.data(), routines::kProgramLarge.size());
        client_.KvpBarStepIt();
        Transfer();
    }

    if (eraseData) {
        EraseDataFlash();
    } else {
        KvSleep(timing::kLargePause);
        Exchange({0, LoaderCommand::EndSession, 0, 0}, nullptr);
    }

    client_.KvpBarSetPos(100);
    job_.Message("Download completed.");
    KvSleep(timing::kCompletedPause);
}

void LargeDownload::ApplicationChecks() {
    if (downloadType_ != KV_DOWNLOAD_AUTO_BINARY || !files_) return;
    if (ParamField(params_, KV_PARAM_IDENTITY_CHECK) != 0) IdentityCheck();
    if (ParamField(params_, KV_PARAM_CHECK_APP_NUMBER) == 1) NumberCheck();
}

void LargeDownload::IdentityCheck() {
    if (FileIdentity(files_->binary.data()) != ParamField(params_, KV_PARAM_EXPECTED_IDENTITY)) {
        job_.End(endings::kWrongIdentity, kStatusFile, "Fichier à télécharger incorrect!");
    }
}

void LargeDownload::NumberCheck() {
    const uint8_t* digits = files_->binary.data() + kFileAppNumber;
    if (FileAppNumber(files_->binary.data()) != ParamField(params_, KV_PARAM_APP_NUMBER)) {
        KvSleep(timing::kLargePause);
        const auto endSession = BuildLoaderHeader({0, LoaderCommand::EndSession, 0, 0});
        if (ZrSendMessage(job_.link.Get(), endSession.data(), endSession.size()) != 0) {
            job_.FailStatus(kStatusCommunication);
        }
        KvSleep(timing::kWrongNumberPause);
        job_.End(endings::kWrongNumber, kStatusCommunication, kWrongNumber);
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
    ZrTimeOut(job_.link.Get(), timing::kAppNumberTimeout);
    const int result =
        ExchangeLoaderFrame(job_.link, routine.data(),
                            {static_cast<int16_t>(routine.size()), LoaderCommand::RunRoutine,
                             kRoutineAddress, kRoutineAddress});
    if (result != kStatusOk) job_.Fail(result, kWrongNumber);
}

void LargeDownload::Transfer() {
    const DownloadImages& images = files_->images;
    job_.Message("Downloading the driver library...");
    SendRegion(Region::DriverLow);
    if (!images.Of(Region::DriverHigh).bytes.empty()) SendRegion(Region::DriverHigh);
    CheckCancel(job_);

    job_.Message("Downloading the application...");
    SendRegion(Region::Application);
    if (!images.Of(Region::Upper).bytes.empty()) SendRegion(Region::Upper);
    CheckCancel(job_);

    KvSleep(timing::kLargePause);
    Exchange(
        {static_cast<int16_t>(kSignature.size()), LoaderCommand::WriteBlock, 0, kDriverLowStart},
        kSignature.data());
}

void LargeDownload::SendRegion(Region region) {
    const std::vector<uint8_t>& image = files_->images.Of(region).bytes;
    EngineProgress().total.store(static_cast<uint32_t>(image.size()), std::memory_order_relaxed);
    const RegionPlan plan =
        PlanRegion(region, image.data(), image.size(), count_, files_->images.total);
    for (const PlannedBlock& block : plan.blocks) {
        if (block.percent >= 0) client_.KvpBarSetPos(block.percent);
        if (!block.send) continue;
        if (block.pause) KvSleep(block.pause);
        Exchange({static_cast<int16_t>(block.length), LoaderCommand::WriteBlock, 0, block.address},
                 image.data() + block.offset);
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
            const unsigned status = LinkFailureStatus(result);
            job_.End(endings::kMessageFirst, status, StatusMessage(static_cast<int>(status)));
        }
        return;
    }
    ZrTimeOut(job_.link.Get(), timing::kDataFlashTimeout);
    LoadRoutine(routines::kDataFlashEraseCore.data(), routines::kDataFlashEraseCore.size());
    ZrTimeOut(job_.link.Get(), timing::kDataFlashTimeout);
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

void LargeReaderDownload(Job& job, const LargeFiles* files) {
    LargeDownload(job, files).Run();
}

std::variant<std::unique_ptr<LargeFiles>, std::string> PrepareLargeFiles(const Job& job) {
    const CLoadInterface& client = job.client;
    const ParamBlock& params = job.params;
    const uint32_t type = client.flags & kDownloadTypeMask;
    auto files = std::make_unique<LargeFiles>();
    Inputs inputs;
    inputs.downloadType = type;
    inputs.appPath = PathOf(client.applicationFile);
    inputs.driverPath = PathOf(client.driverFile);
    FileBytes appText, driverText;
    if (type == KV_DOWNLOAD_NORMAL) {
        if (auto problem = ReadText(inputs.appPath, false, appText)) return *problem;
        if (auto problem = ReadText(inputs.driverPath, true, driverText)) return *problem;
        inputs.appText = appText.bytes;
        inputs.driverText = driverText.bytes;
    } else {
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
        if (auto problem = ReadBinary(inputs.appPath, type,
                                      ParamField(params, KV_PARAM_KEY_SELECTOR), files->binary)) {
            return *problem;
        }
        inputs.binary =
            std::span<const uint8_t>(files->binary.data(), files->binary.size() - kFileSlack);
    }
    auto built = BuildImages(inputs);
    if (auto* problem = std::get_if<std::string>(&built)) return std::move(*problem);
    files->images = std::move(std::get<DownloadImages>(built));
    if (auto problem = CheckImages(files->images, inputs, client.readerType)) return *problem;
    return files;
}

}  // namespace cordane
