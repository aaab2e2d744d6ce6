// The engine's outside face: the client interface's defaults, the download manager, the
// parameter block, the progress texts and the calls that start a job.

#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "cordane/cordane.h"
#include "cordane/job_words.h"
#include "cordane/protocol.h"
#include "engine_state.h"
#include "platform/thread.h"
#include "status.h"
#include "zr318.h"

// ---- CLoadInterface: a client that overrides nothing sees nothing and cancels at once.

void CLoadInterface::KvSetMessage(char*) {}
void CLoadInterface::KvpBarSetRange(short, short) {}
void CLoadInterface::KvpBarSetStep(int) {}
void CLoadInterface::KvpBarStepIt() {}
int CLoadInterface::KvpBarGetMaxRange() {
    return 0;
}
int CLoadInterface::KvpBarSetPos(int) {
    return 0;
}
void CLoadInterface::KvFinTelechargement(char*, int) {}
bool CLoadInterface::KvIsCanceled() {
    return true;
}

namespace cordane {

namespace {

std::mutex g_paramMutex;
ParamBlock g_paramBlock = [] {
    ParamBlock block;
    block.fill(0x11);  // the block as the library is loaded
    return block;
}();

Progress g_progress;
// The one-job lock: the token of the latest job, and whether it still uses what is shared.
std::mutex g_jobMutex;
JobToken g_jobToken = 0;
bool g_jobActive = false;

// Percentage of the bytes sent, in unsigned 32-bit arithmetic and unclamped, as the readers'
// tools have always shown it.
uint32_t PercentDone() {
    const uint32_t total = g_progress.total.load(std::memory_order_relaxed);
    const uint32_t done = g_progress.done.load(std::memory_order_relaxed);
    return total == 0 ? 0 : done * 100u / total;
}

// The progress text, cut to the size the callers are told suffices.
void FormatProgress(char* text, size_t size, const char* format, const char* zero) {
    if (!text) return;
    const uint32_t total = g_progress.total.load(std::memory_order_relaxed);
    if (total == 0) {
        std::snprintf(text, size, "%s", zero);
    } else {
        std::snprintf(text, size, format, static_cast<int>(PercentDone()));
    }
}

constexpr const char* kBusyText =
    "A download is already running in this program. Wait for its end, then start this one again.";

}  // namespace

ParamBlock CurrentParamBlock() {
    std::lock_guard lock(g_paramMutex);
    return g_paramBlock;
}

uint32_t ParamField(const ParamBlock& block, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value |= static_cast<uint32_t>(block[offset + i]) << (8 * i);
    return value;
}

Progress& EngineProgress() {
    return g_progress;
}

JobToken TryClaimJob() {
    std::lock_guard lock(g_jobMutex);
    if (g_jobActive) return 0;
    g_jobActive = true;
    return ++g_jobToken;
}

void JobFinishing(JobToken token) {
    std::lock_guard lock(g_jobMutex);
    if (token == g_jobToken) g_jobActive = false;
}

void ReleaseJob(JobToken token) {
    JobFinishing(token);
}

unsigned RefuseBusy(CLoadInterface& client) {
    ShowError(kBusyText, client, (client.flags & KV_FLAG_SILENT) == 0);
    client.KvFinTelechargement(nullptr, KV_NOTICE_OVER);
    return kStatusFile;
}

}  // namespace cordane

using namespace cordane;

// ---- Exported functions.

void UpdateParam(void* block) {
    if (!block) return;
    std::lock_guard lock(g_paramMutex);
    std::memcpy(g_paramBlock.data(), block, g_paramBlock.size());
}

void UpdateDecompte(char* text) {
    // "Progression : 100 %" and its terminator fit the 20 bytes callers provide.
    FormatProgress(text, 20, "Progression : %d %%", "Progression : 0 %");
}

extern "C" void SDK_UpdateDecompte(char* text) {
    FormatProgress(text, 26, "Progress per cent : %d %%", "Progress per cent : 0 %");
}

unsigned int demarrage(void* client) {
    if (!client) return 1;
    auto& job = *static_cast<CLoadInterface*>(client);
    const JobToken token = TryClaimJob();
    if (!token) return RefuseBusy(job);
    const unsigned code = RunJob(job, token);
    ReleaseJob(token);
    return code;
}

namespace {

// Starts the worker for a job that already holds the one-job lock.
HANDLE StartClaimedJob(CLoadInterface* client, CWinThread* object, JobToken token) {
    HANDLE handle = StartThread(
        [client, token]() -> uint32_t {
            const unsigned code = RunJob(*client, token);
            ReleaseJob(token);
            return code;
        },
        object);
    if (!handle) ReleaseJob(token);
    return handle;
}

HANDLE StartJobThread(CLoadInterface* client, CWinThread* object) {
    if (!client) return nullptr;
    const JobToken token = TryClaimJob();
    if (!token) {
        RefuseBusy(*client);
        return nullptr;
    }
    return StartClaimedJob(client, object, token);
}

CWinThread* StartWithObject(CLoadInterface* client, bool autoDelete, JobToken token) {
    // The thread objects this thread started before have had their chance to be kept.
    DeleteObjectsSetAside(std::this_thread::get_id());
    auto* object = new CWinThread;
    if (!autoDelete) object->m_bAutoDelete = false;
    const HANDLE handle =
        token ? StartClaimedJob(client, object, token) : StartJobThread(client, object);
    if (!handle) {
        object->m_bAutoDelete = false;
        delete object;
        return nullptr;
    }
    return object;
}

}  // namespace

CWinThread* BeginDownload(CLoadInterface* client) {
    return StartWithObject(client, true, 0);
}

CWinThread* BeginDownload(CLoadInterface* client, bool autoDelete) {
    return StartWithObject(client, autoDelete, 0);
}

extern "C" HANDLE SDK_BeginDownload(CLoadInterface* client) {
    return StartJobThread(client, nullptr);
}

// ---- CDownloadManager.

CDownloadManager::CDownloadManager() {
    // The base leaves the job fields undefined; the manager starts from a clean job.
    ownerWindow = 0;
    flags = 0;
    std::memset(reserved, 0, sizeof reserved);
    portWord = 0;
    readerType = KvTal64;
    std::memset(applicationFile, 0, sizeof applicationFile);
    std::memset(driverFile, 0, sizeof driverFile);
}

CDownloadManager::~CDownloadManager() = default;

void CDownloadManager::KvDownloadCompleted(char*, int) {}

void CDownloadManager::KvFinTelechargement(char*, int code) {
    // The client gets writable copies of the texts.
    if (code == KV_NOTICE_SUCCESS) {
        completionPending = 0;
        char text[] = "Download completed";
        KvDownloadCompleted(text, 0);
    } else if (code == KV_NOTICE_OVER && completionPending) {
        char text[] = "Download Error";
        KvDownloadCompleted(text, 1);
    }
}

void CDownloadManager::SetWindowHandle(HWND owner) {
    ownerWindow = owner;
}

void CDownloadManager::SetPortCom(short port, bool isVirtual) {
    portWord = static_cast<int16_t>(isVirtual ? (static_cast<uint16_t>(port) | KV_PORT_VIRTUAL)
                                              : static_cast<uint16_t>(port));
}

void CDownloadManager::SetReaderType(eReaderType type) {
    readerType = type;
}

void CDownloadManager::SetEraseDataflash(bool erase) {
    eraseDataFlash = erase ? 1 : 0;
}

namespace {

int CopyPath(char (&field)[KV_PATH_SIZE], const char* path) {
    if (!path) return -1;
    const size_t length = strnlen(path, KV_PATH_SIZE);
    if (length >= KV_PATH_SIZE) return -1;
    std::memcpy(field, path, length + 1);
    return 0;
}

}  // namespace

int CDownloadManager::SetApplicationName(char* path) {
    return CopyPath(applicationFile, path);
}

int CDownloadManager::SetDriverName(char* path) {
    return CopyPath(driverFile, path);
}

CWinThread* CDownloadManager::StartDownload() {
    return StartDownload(true);
}

CWinThread* CDownloadManager::StartDownload(bool autoDelete) {
    // The lock comes first: while another job runs, its parameter block and this object's job
    // fields stay as they are.
    const JobToken token = TryClaimJob();
    if (!token) {
        ShowError(kBusyText, *this, silent == 0);
        char text[] = "Download Error";
        KvDownloadCompleted(text, 1);
        return nullptr;
    }
    ParamBlock block{};
    PutParamField(block, KV_PARAM_KEY_SELECTOR, static_cast<uint32_t>(keySelector));
    PutParamField(block, KV_PARAM_IDENTITY_CHECK, static_cast<uint32_t>(fileIdentityCheck));
    PutParamField(block, KV_PARAM_EXPECTED_IDENTITY, static_cast<uint32_t>(expectedFileIdentity));
    completionPending = 1;
    UpdateParam(block.data());

    FlagOptions options;
    options.downloadType = static_cast<uint32_t>(downloadType);
    options.eraseDataFlash = eraseDataFlash != 0;
    options.eraseCode = eraseCode != 0;
    options.askQuestion = askQuestion != 0;
    options.silent = silent != 0;
    options.debugLoad = debugLoad != 0;
    flags = FlagsWord(options);
    return StartWithObject(this, autoDelete, token);
}

void CDownloadManager::CancelDownload() {
    KvSleep(timing::kCancelFirstPause);
    ZrClose(-1);  // no link of its own is open yet
    int32_t handle = -1;
    const ZrPort port = static_cast<uint32_t>(static_cast<int32_t>(portWord));
    ZrOpen(0, port, opens::kCancel.a, opens::kCancel.b, &handle);
    ZrKvrenReset(handle);
    KvSleep(timing::kCancelResetPause);
    ZrClose(handle);
}
