#include "kit/detection.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>

#include "base/file.h"
#include "base/hex.h"
#include "cordane/cordane.h"
#include "cordane/formats/srec.h"
#include "cordane/loader_frame.h"
#include "cordane/platform.h"
#include "kit/detection_loader.h"

namespace korvel::kit {

namespace {

using cordane::LoaderCommand;
using cordane::LoaderHeader;

using korvel::base::HexNumber;

// The open link: the end frame and the close go out once, on every path, when it goes.
class DetectionLink {
  public:
    DetectionLink() = default;
    DetectionLink(const DetectionLink&) = delete;
    DetectionLink& operator=(const DetectionLink&) = delete;
    ~DetectionLink() { End(); }

    // The pause comes between two calls only: none after the last failed one.
    bool Open(ZrPort port, DetectionResult* result) {
        for (int call = 0; call < detect::kOpenTries; ++call) {
            if (call > 0) KvSleep(detect::kOpenPause);
            int32_t handle = -1;
            ++result->openCalls;
            result->lastOpenResult = ZrResetAndOpen512Light(port, &handle);
            if (result->lastOpenResult < ZR_FAIL_BASE) {
                handle_ = handle;
                open_ = true;
                return true;
            }
        }
        return false;
    }

    // Sends one frame; the answer's status byte, or the detection exchange's failure code.
    int Exchange(const LoaderHeader& record, const uint8_t* payload,
                 std::vector<uint8_t>* answer = nullptr) {
        std::array<uint8_t, ZR_REPLY_BUFFER> reply{};
        int length = 0;
        const int result = cordane::DetectionExchange(handle_, payload, record, reply.data(),
                                                      reply.size(), &length);
        if (answer) answer->assign(reply.begin(), reply.begin() + std::max(length, 0));
        return result;
    }

    // The end frame (its answer not examined), then the close.
    void End() {
        if (!open_) return;
        open_ = false;
        const LoaderHeader end{0, LoaderCommand::EndSession, 0, 0};
        Exchange(end, nullptr);
        ZrClose(handle_);
    }

  private:
    int32_t handle_ = -1;
    bool open_ = false;
};

void Fail(DetectionResult* result, DetectionFailure failure, std::string detail) {
    result->failure = failure;
    result->readerType = -1;
    result->detail = std::move(detail);
}

// The bytes as they are (no line-end translation), the path as UTF-8 on every system.
bool WriteDebugFile(const std::string& path, const uint8_t* bytes, size_t size) {
    korvel::base::Expected<korvel::base::File> out =
        korvel::base::File::Open(path, korvel::base::FileAccess::Create);
    if (!out) return false;
    return out->WriteAll(std::span<const uint8_t>(bytes, size)) && out->Close();
}

// Opens, loads, starts and identifies; the link ends when `link` goes.
void Run(ZrPort port, const DetectionOptions& options, DetectionLink& link,
         DetectionResult* result) {
    if (!link.Open(port, result)) {
        const std::string tries = " (" + std::to_string(detect::kOpenTries) + " tries)";
        std::string detail;
        switch (result->lastOpenResult - ZR_FAIL_BASE) {
            case ZR_STATUS_COMMUNICATION:
                detail = "the reader refused the light reset" + tries +
                         ", as the 64 Kb readers do: they cannot be detected";
                break;
            case ZR_STATUS_NO_REPLY:
                detail = "the reader did not answer the light reset" + tries;
                break;
            default:
                detail = "the port could not be opened" + tries;
                break;
        }
        Fail(result, DetectionFailure::OpenFailed, detail);
        return;
    }

    std::unique_ptr<uint8_t[]> block =
        options.allocate
            ? options.allocate(detect::kBlockCapacity)
            : std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[detect::kBlockCapacity]);
    if (!block) {
        // Shown while the link is still open: the close comes after the box.
        result->messages.push_back({kAllocationText, kAllocationCaption, false});
        if (options.show) options.show(result->messages.back());
        Fail(result, DetectionFailure::OutOfMemory, "no memory for the loader block");
        return;
    }
    const std::string& text = options.loader;
    const auto* loader =
        reinterpret_cast<const uint8_t*>(text.empty() ? kDetectionLoader : text.data());
    const size_t loaderLength = text.empty() ? kDetectionLoaderLength : text.size();
    const cordane::SrecResult converted =
        cordane::ConvertSrecWindow(loader, loaderLength, block.get(), detect::kBlockCapacity,
                                   detect::kWindowLower, detect::kWindowUpper);
    if (converted.error != cordane::SrecError::None || converted.length == 0) {
        Fail(result, DetectionFailure::BadLoader,
             converted.length == 0 && converted.error == cordane::SrecError::None
                 ? "the detection loader holds nothing to send"
                 : cordane::SrecRefusal("detection loader", "(built in)", converted));
        return;
    }
    const size_t used = converted.length;
    result->loaderBytes = used;
    if (!options.debugFile.empty()) {
        result->debugWritten = WriteDebugFile(options.debugFile, block.get(), used);
    }

    for (size_t offset = 0; offset < used; offset += detect::kChunk) {
        const size_t size = std::min(detect::kChunk, used - offset);
        KvSleep(detect::kFramePause);
        const LoaderHeader load{static_cast<int16_t>(size), LoaderCommand::LoadRoutine,
                                detect::kLoadAddress,
                                detect::kLoadAddress + static_cast<uint32_t>(offset)};
        const int status = link.Exchange(load, block.get() + offset);
        if (status != 0) {
            Fail(result, DetectionFailure::ChunkRefused,
                 "the loader chunk for " + HexNumber(load.load, 6) + " was refused (result " +
                     std::to_string(status) + ")");
            return;
        }
        ++result->chunksSent;
    }
    KvSleep(detect::kFramePause);
    const LoaderHeader start{1, LoaderCommand::RunRoutine, detect::kLoadAddress,
                             detect::kLoadAddress};
    link.Exchange(start, block.get());  // its answer is not examined
    block.reset();

    // A read: its answer must hold every byte asked for.
    auto read = [&](const cordane::IdentificationRead& what, std::vector<uint8_t>* answer) {
        const LoaderHeader record{0, LoaderCommand::ReadMemory, what.count, what.address};
        link.Exchange(record, nullptr, answer);
        if (answer->size() >= what.count) return true;
        Fail(result, DetectionFailure::NoIdentity,
             "the read of " + std::to_string(what.count) + " bytes at " +
                 HexNumber(what.address, 5) + " got " +
                 (answer->empty() ? "no answer" : std::to_string(answer->size()) + " byte(s)"));
        return false;
    };
    std::vector<uint8_t> first;
    if (!read(cordane::kDetectionBytesRead, &first)) return;
    result->detectionBytes = {first[0], first[1]};
    std::vector<uint8_t> second;
    const cordane::IdentificationRead& next = cordane::SecondReadFor(first[0]);
    if (!read(next, &second)) return;
    second.resize(next.count);
    result->secondAnswer = second;
    result->readerType = cordane::IdentifiedReader(first[0], first[1], second.data());
}

}  // namespace

DetectionResult DetectReader(ZrPort port, const DetectionOptions& options) {
    DetectionResult result;
    {
        DetectionLink link;
        Run(port, options, link, &result);
    }  // the end frame and the close come before the failure's message
    if (!result.Ok()) {
        result.messages.push_back({kDetectionFailedText, "", true});
        if (options.show) options.show(result.messages.back());
    }
    return result;
}

std::string IdentificationText(const DetectionResult& result) {
    std::vector<uint8_t> bytes(result.detectionBytes.begin(), result.detectionBytes.end());
    bytes.insert(bytes.end(), result.secondAnswer.begin(), result.secondAnswer.end());
    return korvel::base::HexBytes(bytes);
}

}  // namespace korvel::kit
