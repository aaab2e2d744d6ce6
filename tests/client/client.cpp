// A client of the installed engine: one job on a port the engine refuses, in silent mode. It
// checks what a client sees (the thread's exit code and one completion call) and exits 0 when
// all is as documented. A second job, on a file that is not there, is started for its thread
// handle, which is waited on and closed with the thread functions (the system's on Windows).
// Reader detection's exchange is exported too: on no link it sends nothing.
#include <cstdio>
#include <string>

#include "cordane/cordane.h"
#include "cordane/loader_frame.h"
#include "zr318.h"

namespace {

class Job : public CDownloadManager {
  public:
    void KvDownloadCompleted(char* text, int code) override {
        ++completions;
        lastText = text != nullptr ? text : "";
        lastCode = code;
    }
    bool KvIsCanceled() override { return false; }
    int completions = 0;
    std::string lastText;
    int lastCode = -1;
};

}  // namespace

int main() {
    ZrClose(-1);  // the serial link came along with the engine; closing no link is harmless
    Job job;
    job.SetPortCom(0, false);  // no COM0: the engine refuses the port at once
    job.SetReaderType(KvOrb64);
    char app[] = "no-such-application.sre";
    job.SetApplicationName(app);
    job.silent = 1;
    CWinThread* thread = job.StartDownload(false);
    if (thread == nullptr) {
        std::fprintf(stderr, "client: the engine did not start the job\n");
        return 1;
    }
    const bool ended = thread->Wait();
    const uint32_t code = thread->ExitCode();
    delete thread;
    if (!ended || code != 1) {
        std::fprintf(stderr, "client: the job ended with %u, expected 1 (refused port)\n", code);
        return 1;
    }
    if (job.completions != 1 || job.lastText != "Download Error" || job.lastCode != 1) {
        std::fprintf(stderr,
                     "client: %d completion call(s), last \"%s\" %d; expected one, "
                     "\"Download Error\" 1\n",
                     job.completions, job.lastText.c_str(), job.lastCode);
        return 1;
    }
    Job missing;
    missing.SetPortCom(1, false);
    missing.SetReaderType(KvOrb64);
    char absent[] = "no-such-application.sre";
    missing.SetApplicationName(absent);
    missing.flags = KV_FLAG_SILENT;  // the handle form takes the flags word as it is
    const HANDLE handle = SDK_BeginDownload(&missing);
    if (handle == nullptr) {
        std::fprintf(stderr, "client: the engine gave no thread handle\n");
        return 1;
    }
#if defined(_WIN32)
    DWORD handleCode = 0;
#else
    uint32_t handleCode = 0;
#endif
    const bool waited = WaitForSingleObject(handle, INFINITE) == WAIT_OBJECT_0;
    const bool read = GetExitCodeThread(handle, &handleCode) != 0;
    CloseHandle(handle);
    if (!waited || !read || handleCode != 1) {
        std::fprintf(stderr,
                     "client: the handle's job ended with %u (waited %d, read %d), expected 1 "
                     "(missing file)\n",
                     static_cast<unsigned>(handleCode), waited, read);
        return 1;
    }

    const cordane::LoaderHeader end{0, cordane::LoaderCommand::EndSession, 0, 0};
    uint8_t answer[16];
    int answerLength = -1;
    const int sent =
        cordane::DetectionExchange(-1, nullptr, end, answer, sizeof answer, &answerLength);
    if (sent != 1 || answerLength != 0) {
        std::fprintf(stderr,
                     "client: DetectionExchange on no link gave %d (%d bytes), expected 1\n", sent,
                     answerLength);
        return 1;
    }
    std::puts("client: refused port and missing file reported as documented");
    return 0;
}
