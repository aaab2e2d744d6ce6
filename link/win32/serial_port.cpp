// A serial device on Windows: a communications device opened without sharing for synchronous
// I/O, at the link's speed with 8 data bits, no parity, one stop bit and no flow control; every
// call goes through the CommCalls seam.
//
// Reads wait with the device's own time-outs rather than overlapped I/O: the link reads from one
// thread at a time (the device's read lock), and a read bounded by a total time-out honours the
// poll slice and the deadlines just as the POSIX poll does, with one call. A waiting read asks
// for what the frame in hand still lacks and has no interval time-out: it returns the moment an
// answer is whole, where an interval would add its quiet time to every answer. The system runs the
// synchronous calls on one handle one after the other: a write from another thread (the cancel
// sequence's) waits for the read in progress, at most one slice. The write time-out, set at the
// open, never changes; only the reading thread changes the read time-outs. A waiting read has a
// total time-out (the slice), the same on Windows and under Wine. The MAXDWORD, MAXDWORD, T form
// would return at the first byte on Windows, but Wine waits its whole T.
#include <windows.h>

#include <mmsystem.h>

#include <algorithm>
#include <cstring>

#include "base/win32.h"
#include "comm_calls.h"
#include "serial_port.h"
#include "trace.h"

namespace korvel::link {
namespace {

// Longest one WriteFile may take: a full frame at 9600 baud needs about 1.1 s.
constexpr DWORD kWriteTimeoutMs = 5000;
// A read given at least this long that comes back empty in under a quarter of its time did not
// wait: two such reads in a row are a hang-up; a shorter read is not judged.
constexpr int kJudgedReadMs = 8;
constexpr int kEmptyReadsForHangUp = 2;

std::string Describe(DWORD error) {
    return base::win32::ErrorText(error) + " (error " + std::to_string(error) + ")";
}

// What the user can do about an open that failed with Windows error code.
const char* OpenHint(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "check that the reader's adapter is plugged in and that the port exists (the "
                   "Device Manager lists the COM ports)";
        default:
            return "check the device and try again";
    }
}

class WindowsSerialPort final : public SerialPort {
  public:
    WindowsSerialPort(HANDLE handle, std::string label)
        : handle_(handle), label_(std::move(label)) {
        // Time-outs are served by the system's timer: at its default 15.6 ms tick a short wait
        // would last that long.
        timerHeld_ = timeBeginPeriod(1) == TIMERR_NOERROR;
    }
    ~WindowsSerialPort() override {
        Comm().CloseHandle(handle_);
        if (timerHeld_) timeEndPeriod(1);
    }

    // Sets the time-outs of the next reads and writes unless they are in force already.
    bool UseReadTimeout(int timeoutMs) {
        COMMTIMEOUTS wanted{};
        if (timeoutMs <= 0) {
            // What has arrived, at once.
            wanted.ReadIntervalTimeout = MAXDWORD;
        } else {
            wanted.ReadTotalTimeoutConstant = static_cast<DWORD>(timeoutMs);
        }
        wanted.WriteTotalTimeoutConstant = kWriteTimeoutMs;
        if (timeoutsSet_ && std::memcmp(&wanted, &timeouts_, sizeof wanted) == 0) return true;
        if (!Comm().SetCommTimeouts(handle_, &wanted)) {
            timeoutsSet_ = false;
            return false;
        }
        timeouts_ = wanted;
        timeoutsSet_ = true;
        return true;
    }

    ReadResult Read(int timeoutMs, uint8_t* buffer, size_t size, size_t frameRest,
                    size_t* got) override {
        *got = 0;
        if (!UseReadTimeout(timeoutMs)) {
            TraceNote("%s cannot set read time-outs: %s", label_.c_str(),
                      Describe(GetLastError()).c_str());
            return ReadResult::Failed;
        }
        const Clock::time_point start = Clock::now();
        DWORD n = 0;
        // What has come at once: all of it; a wait: no further than the frame's end.
        const size_t asked = timeoutMs <= 0 ? size : std::clamp<size_t>(frameRest, 1, size);
        if (!Comm().ReadFile(handle_, buffer, static_cast<DWORD>(std::min<size_t>(asked, MAXDWORD)),
                             &n)) {
            const DWORD error = GetLastError();
            DWORD flags = 0;
            Comm().ClearCommError(handle_, &flags, nullptr);
            TraceNote("%s read failed: %s", label_.c_str(), Describe(error).c_str());
            return ReadResult::Failed;
        }
        if (n > 0) {
            emptyReads_ = 0;
            *got = n;
            return ReadResult::Data;
        }
        if (timeoutMs <= 0) return ReadResult::Nothing;
        // A quiet line, or nobody at the other end: Wine reads a hung-up terminal as 0 bytes once
        // the time-out has passed, as if it were quiet. A device that cannot even tell its state
        // (Wine: error 21; a USB adapter pulled out: error 22 or 1167) is gone.
        DWORD flags = 0;
        if (!Comm().ClearCommError(handle_, &flags, nullptr)) {
            TraceNote("%s read failed: hang-up (%s)", label_.c_str(),
                      Describe(GetLastError()).c_str());
            return ReadResult::Failed;
        }
        // Nor may a read that comes back empty without waiting make the link spin.
        if (timeoutMs >= kJudgedReadMs &&
            (Clock::now() - start) * 4 < std::chrono::milliseconds(timeoutMs)) {
            if (++emptyReads_ >= kEmptyReadsForHangUp) {
                TraceNote("%s read failed: hang-up (reads return at once with nothing)",
                          label_.c_str());
                return ReadResult::Failed;
            }
        } else {
            emptyReads_ = 0;
        }
        return ReadResult::Nothing;
    }

    bool WriteAll(const uint8_t* data, size_t size, Clock::time_point limit,
                  std::string* why) override {
        while (size > 0) {
            DWORD written = 0;
            if (!Comm().WriteFile(handle_, data,
                                  static_cast<DWORD>(std::min<size_t>(size, MAXDWORD)), &written)) {
                const DWORD error = GetLastError();
                DWORD flags = 0;
                Comm().ClearCommError(handle_, &flags, nullptr);
                *why = Describe(error);
                return false;
            }
            if (written == 0) {
                *why = "the frame did not leave in time";
                return false;
            }
            data += written;
            size -= std::min<size_t>(size, written);
            if (size > 0 && Clock::now() >= limit) {
                *why = "the frame did not leave in time";
                return false;
            }
        }
        return true;
    }

    void DiscardInput() override { Comm().PurgeComm(handle_, PURGE_RXCLEAR); }

  private:
    const HANDLE handle_;
    const std::string label_;
    bool timerHeld_ = false;
    COMMTIMEOUTS timeouts_{};
    bool timeoutsSet_ = false;
    int emptyReads_ = 0;  // empty reads in a row that did not wait
};

}  // namespace

std::unique_ptr<SerialPort> SerialPort::Open(const std::string& path, const std::string& label,
                                             unsigned long baud, std::string* error) {
    const base::Expected<std::wstring> wide = base::win32::Utf16(path);
    if (!wide) {
        *error = "cannot open " + path + " for " + label + ": the name is not valid UTF-8";
        return nullptr;
    }
    CommCalls& comm = Comm();
    // Share mode 0: nobody else may have the port while the link does, nor the link it while
    // someone else does.
    const HANDLE handle =
        comm.CreateFileW(wide->c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
            *error = path + " (" + label +
                     ") is held by another program; close that program and try again";
        } else {
            *error = "cannot open " + path + " for " + label + ": " + Describe(code) + "; " +
                     OpenHint(code);
        }
        return nullptr;
    }
    // The device is ours from here: the port closes it on every way out.
    auto port = std::make_unique<WindowsSerialPort>(handle, label);
    auto fail = [&](const std::string& what) {
        *error = what + " " + path + " for " + label + ": " + Describe(GetLastError());
        return nullptr;
    };

    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!comm.GetCommState(handle, &settings)) {
        return fail("not a serial device (name the reader's port):");
    }
    settings.BaudRate = static_cast<DWORD>(baud);
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = TRUE;
    settings.fParity = FALSE;
    settings.fOutxCtsFlow = FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fDsrSensitivity = FALSE;
    settings.fTXContinueOnXoff = TRUE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fErrorChar = FALSE;
    settings.fNull = FALSE;
    settings.fRtsControl = RTS_CONTROL_ENABLE;
    settings.fAbortOnError = FALSE;
    if (!comm.SetCommState(handle, &settings)) {
        return fail("cannot set " + std::to_string(baud) + " baud, 8N1 on");
    }
    if (!port->UseReadTimeout(0)) return fail("cannot set the time-outs of");
    comm.PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    DWORD flags = 0;
    comm.ClearCommError(handle, &flags, nullptr);
    return port;
}

std::optional<std::string> DeviceIdentity(const std::string& path) {
    // Device names know no case: \\.\COM5 and \\.\com5 are one port.
    std::string identity = path;
    for (char& c : identity) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return identity;
}

unsigned long CurrentProcess() {
    return GetCurrentProcessId();
}

}  // namespace korvel::link
