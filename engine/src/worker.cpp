// The worker: runs one job from the port check to the last notice.

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "cordane/formats/srec.h"
#include "cordane/protocol.h"
#include "cordane/readers.h"
#include "engine_state.h"
#include "exchange.h"
#include "file_read.h"
#include "job_fields.h"
#include "platform/os.h"
#include "procedures.h"
#include "status.h"

namespace cordane {

namespace {

constexpr uint32_t kHighestPort = 256;

std::string Format(const char* format, const std::string& path) {
    std::vector<char> text(std::strlen(format) + path.size() + 1);
    std::snprintf(text.data(), text.size(), format, path.c_str());
    return text.data();
}

// A file error of the worker, exit code 1: a large reader's file and a refused port send the
// notice first, a small reader's file shows the message first.
[[noreturn]] void FileError(Job& job, const std::string& message, bool noticeFirst) {
    job.End(noticeFirst ? endings::kRefusedFirst : endings::kMessageFirst, kStatusFile,
            message.c_str());
}

// A failed reset-and-open call: its status's message, then the last notice.
[[noreturn]] void OpenFailed(Job& job, unsigned result) {
    job.End(endings::kOpenFailed, LinkFailureStatus(result),
            StatusMessage(static_cast<int>(LinkFailureStatus(result))));
}

// "Can not find the file %s" for a missing file; for any other reason, the reason follows.
std::string CannotFind(const std::string& path, const FileBytes& file) {
    std::string text = Format("Can not find the file %s", path);
    if (file.fault != FileFault::Missing) text += ": " + FileFaultReason(file, kFileTextSize) + ".";
    return text;
}

// The diagnostic loader path of the large readers; its lines go to the debugger output.
void DiagnosticLoad(Job& job, uint32_t port, const LargeFiles* files) {
    // A failure here used to end the job with exit code 0 and "Download error."; it now ends
    // with the status of what failed, so that a caller never takes it for a success.
    auto fail = [&job](int status) {
        job.End(endings::kMessageFirst, static_cast<unsigned>(status), kDownloadErrorText);
    };
    KvOutputDebugString("LOAD ENTER!!!!!!!!\n");
    if (ZrOpen(0, port, opens::kDiagnosticFirst.a, opens::kDiagnosticFirst.b, job.link.Out()) !=
        0) {
        job.link.Release();
        KvOutputDebugString("LOAD SRE ERR 0\n");
        fail(kStatusOpenFailed);
    }
    ExchangeLoaderFrame(job.link, nullptr, {0, LoaderCommand::EndSession, 0, 0});
    job.link.Close();
    KvSleep(timing::kDiagnosticReopenPause);
    ZrOpen(0, port, opens::kDiagnosticProbe.a, opens::kDiagnosticProbe.b, job.link.Out());

    static constexpr uint8_t kProbe = 0xC0;  // asks the loader which variant it runs
    if (ZrSendMessage(job.link.Get(), &kProbe, 1) != 0) {
        KvOutputDebugString("LOAD SRE ERR 1\n");
        job.link.Close();
        fail(kStatusCommunication);
    }
    std::array<uint8_t, ZR_REPLY_BUFFER> answer{};
    int length = 0;
    int other = 0;
    int result;
    do {
        result = ZrGetMessage(job.link.Get(), answer.data(), &length, &other);
    } while (result == ZR_PENDING);
    if (result != ZR_OK) {
        char line[40];
        std::snprintf(line, sizeof line, "DBG RESPONSE = %d\n", result);
        KvOutputDebugString(line);
    } else if (length > 0 && answer[0] == 0) {
        job.link.Close();
        ZrOpen(0, port, opens::kDiagnosticVariant0.a, opens::kDiagnosticVariant0.b, job.link.Out());
        KvOutputDebugString("LOAD SRE ERR 2\n");
    } else if (length > 0 && answer[0] == 1) {
        job.link.Close();
        ZrOpen(0, port, opens::kDiagnosticVariant1.a, opens::kDiagnosticVariant1.b, job.link.Out());
        KvOutputDebugString("LOAD SRE ERR 3\n");
    } else {
        job.link.Close();
        KvOutputDebugString("LOAD SRE ERR 4\n");
        fail(kStatusCommunication);
    }
    LargeReaderDownload(job, files);
}

void RunLargeReader(Job& job, uint32_t port, bool debugLoad) {
    CLoadInterface& client = job.client;
    std::unique_ptr<LargeFiles> files;
    if ((client.flags & KV_FLAG_ERASE_CODE) == 0) {
        const std::string driver = PathOf(client.driverFile);
        const std::string application = PathOf(client.applicationFile);
        if (client.flags == 0) {
            const FileBytes probe = ProbeFile(driver);
            if (probe.fault != FileFault::None) FileError(job, CannotFind(driver, probe), true);
        }
        const FileBytes probe = ProbeFile(application);
        if (probe.fault != FileFault::None) FileError(job, CannotFind(application, probe), true);
        // The whole download is read, built and checked before the reader is reset, so that a
        // file the reader cannot take never costs it its flash.
        auto prepared = PrepareLargeFiles(job);
        if (auto* problem = std::get_if<std::string>(&prepared)) FileError(job, *problem, true);
        files = std::move(std::get<std::unique_ptr<LargeFiles>>(prepared));
    }
    unsigned result;
    if (client.readerType == KvTalModem) {
        result = ZrResetAndOpenKvTalModem(port, job.link.Out(), client.ownerWindow,
                                          timing::kModemResetTimeout);
    } else if (debugLoad) {
        DiagnosticLoad(job, port, files.get());
        return;
    } else {
        result = ZrResetAndOpen512(port, job.link.Out());
    }
    if (result >= ZR_FAIL_BASE) OpenFailed(job, result);
    LargeReaderDownload(job, files.get());
}

// Reads and converts a small reader's application file into `image` (one 0 byte, then the
// image); returns the image length. Files and images the 64 Kb readers cannot take are refused
// here, before the reader is reset.
size_t PrepareSmallImage(Job& job, std::vector<uint8_t>& image) {
    const std::string path = PathOf(job.client.applicationFile);
    // The whole file is read: a file is never cut, and a longer one is refused.
    FileBytes file = ReadWholeFile(path, kFileTextSize);
    if (file.fault == FileFault::TooLarge || file.fault == FileFault::Unreadable) {
        FileError(job,
                  "Error reading application file. " + path + ": " +
                      FileFaultReason(file, kFileTextSize) + ".",
                  false);
    }
    if (file.fault != FileFault::None) FileError(job, CannotFind(path, file), false);
    image.assign(kImageBufferSize, 0);

    PrintConversionBanner();
    const SrecResult converted =
        ConvertSrecPlain(file.bytes.data(), file.bytes.size(), image.data() + 1, image.size() - 1);
    if (converted.error != SrecError::None) {
        FileError(job, SrecRefusal("application file", path, converted), false);
    }
    char detail[400];
    if (converted.length < kSmallImageMin) {
        std::snprintf(detail, sizeof detail,
                      "The application file %s holds no data at or above address 0x2000: there "
                      "is nothing to download. Check that it is the reader's application.",
                      path.c_str());
        FileError(job, detail, false);
    }
    if (converted.length > kSmallImageMax) {
        std::snprintf(detail, sizeof detail,
                      "The application file %s makes an image from 0x2000 to 0x%zX, but a %s "
                      "reader's flash ends at 0xFFFF. Check the reader type and the file.",
                      path.c_str(), kPlainStart + converted.length - 1,
                      ReaderName(job.client.readerType).c_str());
        FileError(job, detail, false);
    }
    return converted.length;
}

void RunSmallReader(Job& job, uint32_t port) {
    std::vector<uint8_t> image;
    const size_t length = PrepareSmallImage(job, image);
    EngineProgress().total.store(static_cast<uint32_t>(length), std::memory_order_relaxed);

    const unsigned result = ZrResetAndOpen(port, job.link.Out());
    if (result >= ZR_FAIL_BASE) OpenFailed(job, result);
    if (result == 0) {
        RawDownload(job, image.data(), length);
    } else if (result == 1) {
        FramedDownload(job, image.data(), length);
    }
}

void Work(Job& job) {
    CLoadInterface& client = job.client;
    const uint32_t port = PortIdentifier(client.portWord);
    job.boxesOn = (client.flags & KV_FLAG_SILENT) == 0;
    const bool debugLoad = (client.flags & KV_FLAG_DEBUG_LOAD) != 0;
    client.flags &= ~(KV_FLAG_SILENT | KV_FLAG_DEBUG_LOAD);
    EngineProgress().total.store(0, std::memory_order_relaxed);

    const uint32_t number = port & ~kVirtualPortBit;
    if (number > kHighestPort || (number == 0 && (port & kVirtualPortBit) == 0)) {
        FileError(job, "COM port number invalide.", true);
    }

    job.Notice(KV_NOTICE_STARTED, "1000");
    client.KvpBarSetRange(0, 100);
    client.KvpBarSetStep(1);
    client.KvpBarStepIt();
    job.Message(client.readerType == KvTalModem
                    ? "Veuillez introduire le Kvprimer2 dans le lecteur..."
                    : "Reboot && initialisation Loader...");

    if (IsLargeReader(client.readerType)) {
        RunLargeReader(job, port, debugLoad);
    } else {
        RunSmallReader(job, port);
    }

    job.link.Close();
    job.Notice(KV_NOTICE_SUCCESS);
    job.Notice(KV_NOTICE_OVER);
}

}  // namespace

unsigned RunJob(CLoadInterface& client, JobToken token) {
    // The protocol's short pauses keep their length for the whole job.
    const os::FineTimer fineTimer;
    Job job(client, token);
    try {
        Work(job);
        return kStatusOk;
    } catch (const JobEnded& ended) {
        return ended.exitCode;
    } catch (const std::bad_alloc&) {
        // The buffers of a job could not be reserved.
        job.Finish(endings::kFailedFrame, "Error allocationg memory!");
        return kStatusFile;
    } catch (...) {
        // A client callback threw: nothing of it may leave the worker thread.
        job.link.Close();
        KvOutputDebugString("Cordane: a client callback threw; the job is abandoned.\n");
        return kStatusCommunication;
    }
}

}  // namespace cordane
