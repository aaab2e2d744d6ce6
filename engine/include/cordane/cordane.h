// Cordane, the download engine of the Korvel card readers.
//
// A client describes one download job in an object of a class derived from CLoadInterface,
// hands the job's extra parameters over with UpdateParam and starts the job with BeginDownload.
// The engine runs the job on a worker thread of its own (demarrage) and talks back only through
// the eight virtual operations of the client object. One job runs at a time in a process.
#ifndef CORDANE_CORDANE_H
#define CORDANE_CORDANE_H

#include <stdint.h>

#include "cordane/platform.h"

// Kind of reader: its place in the terminal-type list.
enum eReaderType : int32_t {
    KvTal64 = 0,     // "KvTal (64 Kb)"
    KvOrb64 = 1,     // "KvOrb (64 Kb)"
    KvOrb512 = 2,    // "KvOrb (512Kb)"
    KvTal512 = 3,    // "KvTal (512 Kb)"
    KvQuin3 = 4,     // "KvQuin3"
    KvOrb1Mb = 5,    // "KvOrb1Mb"
    KvTal1Mb = 6,    // "KvTal (1Mb)"
    KvTalModem = 7,  // "KvTalModem": opened through the modem reset
    KvLarge8 = 8,    // set only by reader detection
    KvLarge9 = 9     // set only by reader detection
};

// Flags word: the download type in the low bits, options in the high bits.
inline constexpr uint32_t KV_FLAG_ERASE_DATA_FLASH = 0x80000000u;
inline constexpr uint32_t KV_FLAG_ERASE_CODE = 0x40000000u;
inline constexpr uint32_t KV_FLAG_ASK_QUESTION = 0x20000000u;
inline constexpr uint32_t KV_FLAG_SILENT = 0x10000000u;
inline constexpr uint32_t KV_FLAG_DEBUG_LOAD = 0x08000000u;

// Download types.
inline constexpr uint32_t KV_DOWNLOAD_NORMAL = 0;       // application (and driver) S-record files
inline constexpr uint32_t KV_DOWNLOAD_AUTO_BINARY = 1;  // binary image, first bytes enciphered
inline constexpr uint32_t KV_DOWNLOAD_BINARY = 2;       // binary image in plain form
inline constexpr uint32_t KV_DOWNLOAD_ERASE_CODE = 3;   // erase only

// End-of-download notice codes (KvFinTelechargement).
enum : int { KV_NOTICE_SUCCESS = 0, KV_NOTICE_OVER = 1, KV_NOTICE_STARTED = 3 };

// Port word: bit 15 marks a virtual reader port.
enum : uint16_t { KV_PORT_VIRTUAL = 0x8000 };

// Download parameter block, 50 bytes, all numbers little-endian.
enum {
    KV_PARAM_BLOCK_SIZE = 50,
    KV_PARAM_CHECK_APP_NUMBER = 0,  // exactly 1: check the application number
    KV_PARAM_APP_NUMBER = 4,
    KV_PARAM_PREVIOUS_APP_1 = 8,
    KV_PARAM_PREVIOUS_APP_2 = 12,
    KV_PARAM_KEY_SELECTOR = 16,
    KV_PARAM_IDENTITY_CHECK = 20,
    KV_PARAM_EXPECTED_IDENTITY = 24,
    KV_PARAM_RESERVED_16 = 48
};

enum { KV_PATH_SIZE = 256, KV_RESERVED_SIZE = 100 };

#pragma pack(push, 1)
// The job description and callback interface. Byte-packed after the virtual-table pointer: the
// 32-bit reader type follows the 16-bit port word directly.
class CORDANE_API CLoadInterface {
  public:
    HWND ownerWindow;                    // owner of every message box shown for this job
    uint32_t flags;                      // download type and option bits
    uint8_t reserved[KV_RESERVED_SIZE];  // never read by the engine
    int16_t portWord;                    // bit 15: virtual reader port; bits 0..14: number
    eReaderType readerType;
    char applicationFile[KV_PATH_SIZE];  // zero-terminated
    char driverFile[KV_PATH_SIZE];       // zero-terminated

    // Sets nothing but the virtual table: the job fields hold no defined value until filled.
    CLoadInterface() {}
    CLoadInterface(const CLoadInterface&) = default;
    CLoadInterface& operator=(const CLoadInterface&) = default;

    // Slots in this order; the defaults do nothing, KvIsCanceled answers true.
    virtual void KvSetMessage(char* text);
    virtual void KvpBarSetRange(short lower, short upper);
    virtual void KvpBarSetStep(int step);
    virtual void KvpBarStepIt();
    virtual int KvpBarGetMaxRange();
    virtual int KvpBarSetPos(int position);
    virtual void KvFinTelechargement(char* text, int code);
    virtual bool KvIsCanceled();
    // No virtual destructor: the engine never deletes a client.
};

// A ready-made client for programs that only want to learn the outcome: derive from it and
// override KvDownloadCompleted ("Download completed", 0 on success; "Download Error", 1 on
// failure).
class CORDANE_API CDownloadManager : public CLoadInterface {
  public:
    int32_t downloadType = 0;          // low part of the flags word
    int32_t debugLoad = 0;             // flags bit 0x08000000
    int32_t silent = 0;                // flags bit 0x10000000
    int32_t askQuestion = 0;           // flags bit 0x20000000
    int32_t eraseDataFlash = 0;        // flags bit 0x80000000, through SetEraseDataflash
    int32_t eraseCode = 0;             // flags bit 0x40000000
    int32_t keySelector = 0;           // parameter block bytes 16..19
    int32_t fileIdentityCheck = 0;     // parameter block bytes 20..23
    int32_t expectedFileIdentity = 0;  // parameter block bytes 24..27

    CDownloadManager();
    CDownloadManager(const CDownloadManager&) = default;
    CDownloadManager& operator=(const CDownloadManager&) = default;
    virtual ~CDownloadManager();
    virtual void KvDownloadCompleted(char* text, int code);

    void SetWindowHandle(HWND owner);
    void SetPortCom(short port, bool isVirtual);
    void SetReaderType(eReaderType type);
    void SetEraseDataflash(bool erase);
    // 0, or -1 for a path of 256 characters or more (the field keeps its old value).
    int SetApplicationName(char* path);
    int SetDriverName(char* path);

    // Builds the parameter block and the flags word from the fields and starts the job; as
    // BeginDownload, autoDelete false keeps the thread object for its exit code. While another
    // job runs, nothing of the manager or the engine is changed: null, a message (unless silent)
    // and KvDownloadCompleted("Download Error", 1).
    CWinThread* StartDownload();
    CWinThread* StartDownload(bool autoDelete);
    // Resets the reader through a link of its own while the worker runs.
    void CancelDownload();

    bool CompletionPending() const { return completionPending != 0; }

  private:
    void KvFinTelechargement(char* text, int code) override;
    int32_t completionPending = 0;  // 1 from StartDownload until a success notice
};
#pragma pack(pop)

// Starts the job's worker thread. Returns null, with a message, when a job already runs. The
// thread object deletes itself after the thread ends unless the caller switches m_bAutoDelete off
// right after the call, or passes autoDelete false; then the caller deletes it.
CORDANE_API CWinThread* BeginDownload(CLoadInterface* client);
CORDANE_API CWinThread* BeginDownload(CLoadInterface* client, bool autoDelete);
// Writes the current progress: "Progression : %d %%".
CORDANE_API void UpdateDecompte(char* text);
// Copies the 50-byte download parameter block into the engine.
CORDANE_API void UpdateParam(void* block);
// The parameter block's 32-bit key selector cannot hold a key's address in a 64-bit process, so
// selectors other than 0 and 1 (the built-in base keys A and B) name 8-byte base keys registered
// here beforehand. Returns 0, or -1 for selector 0 or 1 or a null key; registering a selector
// again replaces its key.
CORDANE_API int RegisterBaseKey(uint32_t selector, const uint8_t key[8]);
// The worker thread function; returns the job's exit code.
CORDANE_API unsigned int demarrage(void* client);

extern "C" {
// As BeginDownload, but returns the thread's handle (null when refused); close it with
// CloseHandle once the exit code has been read.
CORDANE_API HANDLE SDK_BeginDownload(CLoadInterface* client);
// Writes the current progress: "Progress per cent : %d %%".
CORDANE_API void SDK_UpdateDecompte(char* text);
}

#endif
