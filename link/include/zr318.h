// The serial-link operations through which the engine and the program reach a reader.
//
// Declared once, here, with plain C names; every caller uses them by name. Two implementations
// stand behind these declarations: the real link over the system's serial devices (libzr318.so on
// Linux, zr318.dll on Windows) and a scripted fake that unit tests link in its place (built with
// ZR318_STATIC, which declares the operations without the DLL import; it holds their import
// pointers too, so that code built for the DLL links against it).
//
// Results the callers rely on:
//   reset-and-open calls   below 0xFF00 once the loader session is open (ZrResetAndOpen: 0 or 1,
//                          which of the two 64 Kb loaders answered); 0xFF00 + status on failure
//                          (3 opening failed, 4 communication, 5 no reply, 6 cancelled)
//   ZrOpen                 0 when open
//   ZrSendMessage          0 when sent
//   ZrGetMessage           0 reply in the buffer, 5 nothing yet (call again), 6 no reply in the
//                          time-out in force, any other value a failure
//   ZrClose(-1)            harmless
// Handles written by the open calls are never 0 or -1.
#ifndef ZR318_H
#define ZR318_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
// The system's own HWND: a client may include <windows.h> before or after this header.
#include <windows.h>
#if defined(ZR318_STATIC)
#define ZR_API
#elif defined(ZR318_BUILDING)
#define ZR_API __declspec(dllexport)
#else
#define ZR_API __declspec(dllimport)
#endif
#else
#if defined(__GNUC__)
#define ZR_API __attribute__((visibility("default")))
#else
#define ZR_API
#endif
// Owner window of a message box: a 32-bit window id.
typedef uint32_t HWND;
#endif

// Port identifier: bit 31 set means a virtual reader port (number in bits 0..14), otherwise a COM
// port number. 0xFFFF8000 + n (a port word widened with its sign) names the same virtual port.
typedef uint32_t ZrPort;

enum {
    ZR_OK = 0,
    ZR_PENDING = 5,        // ZrGetMessage: nothing yet, call again
    ZR_TIMEOUT = 6,        // ZrGetMessage: no reply within the time-out in force
    ZR_FAIL_BASE = 0xFF00  // reset-and-open failures: ZR_FAIL_BASE + status
};

enum {
    ZR_STATUS_OPEN_FAILED = 3,
    ZR_STATUS_COMMUNICATION = 4,
    ZR_STATUS_NO_REPLY = 5,
    ZR_STATUS_CANCELLED = 6
};

// Size of the reply buffer every caller of ZrGetMessage hands over.
#define ZR_REPLY_BUFFER 256

// Resets the reader into its 64 Kb loader and opens a session; 0 raw loader, 1 addressed loader.
ZR_API unsigned int ZrResetAndOpen(ZrPort port, int32_t* handle);
// Resets a large reader into its loader and opens a session.
ZR_API unsigned int ZrResetAndOpen512(ZrPort port, int32_t* handle);
// Reader type 7: waits up to waitMs for the operator to put the reader on its modem base.
ZR_API unsigned int ZrResetAndOpenKvTalModem(ZrPort port, int32_t* handle, HWND owner,
                                             uint32_t waitMs);
// Quick reset used by reader detection (the program tries it up to three times).
ZR_API unsigned int ZrResetAndOpen512Light(ZrPort port, int32_t* handle);
// Erases the data flash of reader types 4, 5 and 6 through the link itself.
ZR_API unsigned int ZrEraseData1M(ZrPort port, int32_t* handle);
// Opens a link without resetting the reader. Pairs (a, b) in use: (2, 55), (200, 87), (2000, 55),
// (2000, 23), (60000, 20).
ZR_API int ZrOpen(int mode, ZrPort port, int a, int b, int32_t* handle);
ZR_API void ZrClose(int32_t handle);
// Makes the reader leave its loader (the cancel sequence).
ZR_API void ZrKvrenReset(int32_t handle);
ZR_API int ZrSendMessage(int32_t handle, const unsigned char* bytes, int length);
// buffer holds ZR_REPLY_BUFFER bytes; length receives the reply's byte count.
ZR_API int ZrGetMessage(int32_t handle, unsigned char* buffer, int* length, int* other);
// Reply time-out in milliseconds for the next exchanges.
ZR_API void ZrTimeOut(int32_t handle, int32_t milliseconds);

#ifdef __cplusplus
}
#endif

#endif
