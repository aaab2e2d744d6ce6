// Cordane's small platform layer: the services the engine needs from its host, each behind an
// installable handler so that a program, a test or a tool can put its own in place.
//
//   thread object   CWinThread and thread handles: wait for a job's thread, read its exit code
//                   (on Windows the system's thread handles, and the system's functions on them)
//   time            KvSleep and KvNowMs, the one seam every pause of the protocol goes through
//   message boxes   KvMessageBox; without a handler, on Windows the system's message box owned
//                   by the job's window; elsewhere the caption and text go to stderr and a
//                   Yes/No question is answered No
//   debugger output KvOutputDebugString; without a sink, on Windows the debugger's output;
//                   elsewhere the lines are dropped unless the environment variable
//                   CORDANE_DEBUG is set, when they go to stderr
#ifndef CORDANE_PLATFORM_H
#define CORDANE_PLATFORM_H

#include <stdint.h>

#if defined(_WIN32)
// Windows: the window handle, the thread handle, the message-box styles and answers, the wait
// results and the thread functions are the system's own, so that a client may include both this
// header and <windows.h>. A thread handle of the engine is a kernel32 thread handle: wait on it
// with WaitForSingleObject, read its exit code with GetExitCodeThread, close it with CloseHandle.
#include <windows.h>

#if defined(CORDANE_BUILDING_DLL)
#define CORDANE_API __declspec(dllexport)
#elif defined(CORDANE_STATIC)
#define CORDANE_API
#else
#define CORDANE_API __declspec(dllimport)
#endif

#else
#if defined(__GNUC__)
#define CORDANE_API __attribute__((visibility("default")))
#else
#define CORDANE_API
#endif

// Owner window of a message box: a 32-bit window id (0: no owner).
typedef uint32_t HWND;

// A thread handle: stays valid until CloseHandle, whether or not the thread has ended.
typedef struct KvThreadState* HANDLE;

enum : uint32_t {
    STILL_ACTIVE = 259,     // GetExitCodeThread while the thread runs
    WAIT_OBJECT_0 = 0,      // WaitForSingleObject: the thread has ended
    WAIT_TIMEOUT = 258,     // WaitForSingleObject: still running after the wait
    INFINITE = 0xFFFFFFFFu  // wait without limit
};

// Message box styles and answers.
enum : unsigned {
    MB_OK = 0x0,
    MB_YESNO = 0x4,
    MB_ICONERROR = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONWARNING = 0x30,
    MB_ICONINFORMATION = 0x40
};
enum : int { IDOK = 1, IDYES = 6, IDNO = 7 };
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if !defined(_WIN32)
// The thread functions of the engine's own handles (kernel32's on Windows).
CORDANE_API uint32_t WaitForSingleObject(HANDLE thread, uint32_t milliseconds);
// Writes STILL_ACTIVE while the thread runs, its exit code afterwards; 0 for a null handle.
CORDANE_API int GetExitCodeThread(HANDLE thread, uint32_t* exitCode);
CORDANE_API int CloseHandle(HANDLE thread);
#endif

// Time. Every pause the engine makes goes through KvSleep; KvNowMs is its clock.
typedef void (*KvSleepFn)(uint32_t milliseconds, void* context);
typedef uint64_t (*KvNowFn)(void* context);
CORDANE_API void KvSleep(uint32_t milliseconds);
CORDANE_API uint64_t KvNowMs(void);
// Null functions put the real clock back.
CORDANE_API void KvSetTimeSource(KvSleepFn sleep, KvNowFn now, void* context);

// Message boxes: returns IDOK, IDYES or IDNO.
typedef int (*KvMessageBoxFn)(HWND owner, const char* text, const char* caption, unsigned style,
                              void* context);
CORDANE_API int KvMessageBox(HWND owner, const char* text, const char* caption, unsigned style);
CORDANE_API void KvSetMessageBoxHandler(KvMessageBoxFn handler, void* context);

// Debugger output.
typedef void (*KvDebugSinkFn)(const char* line, void* context);
CORDANE_API void KvOutputDebugString(const char* line);
CORDANE_API void KvSetDebugSink(KvDebugSinkFn sink, void* context);

#ifdef __cplusplus
}

#include <atomic>

// Whether a thread object deletes itself once its thread has ended. Reads and writes are atomic,
// and a client may switch it off right after BeginDownload, whatever the job's length: an object
// whose thread ends while the switch is still on is not deleted at once but set aside, and only
// deleted when the thread that started it starts another job, or when the library is unloaded.
// By then the client has had its chance; switching it off while the object is set aside takes
// it back.
class CORDANE_API KvAutoDelete {
  public:
    KvAutoDelete() = default;
    KvAutoDelete(const KvAutoDelete&) = delete;
    KvAutoDelete& operator=(const KvAutoDelete&) = delete;

    KvAutoDelete& operator=(bool on);
    operator bool() const;

  private:
    friend class KvThreadObjects;
    std::atomic<int> state_{1};  // 0 off, 1 on, 2 ended and set aside
};

// The thread object of a job. It deletes itself after its thread ends while m_bAutoDelete is on
// (see KvAutoDelete); a caller that keeps it switches m_bAutoDelete off, or asks for that when
// the thread is started (BeginDownload's second argument), then waits, reads the exit code and
// deletes it.
class CORDANE_API CWinThread {
  public:
    HANDLE m_hThread = nullptr;  // owned: closed when the object is deleted
    KvAutoDelete m_bAutoDelete;

    CWinThread() = default;
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;
    virtual ~CWinThread();

    // Waits for the thread to end; true when it has.
    bool Wait(uint32_t milliseconds = INFINITE) const;
    // STILL_ACTIVE while the thread runs.
    uint32_t ExitCode() const;
};
#endif

#endif
