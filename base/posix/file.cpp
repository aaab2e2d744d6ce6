// Files, pipes and devices on POSIX systems: descriptors, always close-on-exec.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "os.h"
#include "system_error.h"

namespace korvel::base::os {
namespace {

int Fd(Handle handle) {
    return static_cast<int>(handle);
}

FileKind KindOf(mode_t mode) {
    if (S_ISREG(mode)) return FileKind::Regular;
    if (S_ISDIR(mode)) return FileKind::Directory;
    if (S_ISFIFO(mode)) return FileKind::Fifo;
    if (S_ISCHR(mode)) return FileKind::CharacterDevice;
    if (S_ISBLK(mode)) return FileKind::BlockDevice;
    if (S_ISSOCK(mode)) return FileKind::Socket;
    if (S_ISLNK(mode)) return FileKind::SymbolicLink;
    return FileKind::Other;
}

}  // namespace

Expected<Handle> Open(const std::string& path, FileAccess access, bool wait) {
    int flags = O_CLOEXEC | O_NOCTTY;
    switch (access) {
        case FileAccess::Read:
            // O_NONBLOCK: a FIFO without a writer, or a serial device without a carrier, would
            // hold the open, and the program, forever.
            flags |= O_RDONLY | (wait ? 0 : O_NONBLOCK);
            break;
        case FileAccess::ReadWrite:
            flags |= O_RDWR;
            break;
        case FileAccess::Create:
            flags |= O_WRONLY | O_CREAT | O_TRUNC;
            break;
        case FileAccess::Append:
            flags |= O_WRONLY | O_CREAT | O_APPEND;
            break;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return LastSystemError();
    if (access == FileAccess::Read && !wait) {
        // Reads of a regular file never wait anyway; other files stay as opened until their
        // reader asks otherwise.
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        }
    }
    return Handle{fd};
}

Expected<Handle> Duplicate(StandardStream stream) {
    const int fd = ::fcntl(Fd(Standard(stream)), F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return LastSystemError();
    return Handle{fd};
}

Handle Standard(StandardStream stream) {
    switch (stream) {
        case StandardStream::Input:
            return STDIN_FILENO;
        case StandardStream::Output:
            return STDOUT_FILENO;
        case StandardStream::Errors:
            return STDERR_FILENO;
    }
    return kNoHandle;
}

Expected<FileInfo> Info(Handle file) {
    struct stat info {};
    if (::fstat(Fd(file), &info) != 0) return LastSystemError();
    return FileInfo{KindOf(info.st_mode),
                    info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0};
}

Expected<FileInfo> InfoOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return LastSystemError();
    return FileInfo{KindOf(info.st_mode),
                    info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0};
}

Expected<bool> NamesSameFile(const std::string& path, Handle file) {
    struct stat named {};
    struct stat open {};
    if (::fstat(Fd(file), &open) != 0) return LastSystemError();
    if (::stat(path.c_str(), &named) != 0) {
        if (errno == ENOENT) return false;
        return LastSystemError();
    }
    return named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

Expected<size_t> Read(Handle file, std::span<uint8_t> buffer) {
    for (;;) {
        const ssize_t got = ::read(Fd(file), buffer.data(), buffer.size());
        if (got >= 0) return static_cast<size_t>(got);
        if (errno != EINTR) return LastSystemError();
    }
}

Expected<size_t> Write(Handle file, std::span<const uint8_t> bytes) {
    for (;;) {
        const ssize_t put = ::write(Fd(file), bytes.data(), bytes.size());
        if (put > 0 || (put == 0 && bytes.empty())) return static_cast<size_t>(put);
        if (put == 0) return SystemError(EIO);  // nothing taken: never loop on it
        if (errno != EINTR) return LastSystemError();
    }
}

Expected<void> SetWaiting(Handle file, bool wait) {
    const int flags = ::fcntl(Fd(file), F_GETFL);
    if (flags < 0) return LastSystemError();
    if (::fcntl(Fd(file), F_SETFL, wait ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) != 0) {
        return LastSystemError();
    }
    return {};
}

Expected<void> Flush(Handle file) {
    while (::fsync(Fd(file)) != 0) {
        if (errno != EINTR) return LastSystemError();
    }
    return {};
}

Expected<void> Close(Handle file) {
    // The descriptor is gone whatever close answers (EINTR included): never close it twice.
    if (::close(Fd(file)) != 0 && errno != EINTR) return LastSystemError();
    return {};
}

Expected<bool> TryLock(Handle file) {
    // flock, as the serial ports are locked: its locks belong to the open file, not to the
    // process, so two opens in one process exclude each other too.
    for (;;) {
        if (::flock(Fd(file), LOCK_EX | LOCK_NB) == 0) return true;
        if (errno == EWOULDBLOCK) return false;
        if (errno != EINTR) return LastSystemError();
    }
}

Expected<Mapping> Map(Handle file, size_t length) {
    void* address = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, Fd(file), 0);
    if (address == MAP_FAILED) return LastSystemError();
    return Mapping{static_cast<const uint8_t*>(address), length};
}

void Unmap(const Mapping& mapping) noexcept {
    ::munmap(const_cast<uint8_t*>(mapping.data), mapping.length);
}

namespace {

// What the SIGBUS handler writes, set before it is installed.
char g_cutShortMessage[1024];
size_t g_cutShortLength = 0;
int g_cutShortCode = kFailureCode;
struct sigaction g_previousBusAction {};
bool g_busGuarded = false;

extern "C" void OnMappedFileCutShort(int) {
    ssize_t ignored = ::write(STDERR_FILENO, g_cutShortMessage, g_cutShortLength);
    (void)ignored;
    ::_exit(g_cutShortCode);
}

}  // namespace

void GuardMappings(const std::string& message, int exitCode) noexcept {
    g_cutShortLength = std::min(message.size(), sizeof g_cutShortMessage);
    std::memcpy(g_cutShortMessage, message.data(), g_cutShortLength);
    g_cutShortCode = exitCode;
    struct sigaction action {};
    action.sa_handler = OnMappedFileCutShort;
    sigemptyset(&action.sa_mask);
    g_busGuarded = ::sigaction(SIGBUS, &action, &g_previousBusAction) == 0;
}

void UnguardMappings() noexcept {
    if (g_busGuarded) ::sigaction(SIGBUS, &g_previousBusAction, nullptr);
    g_busGuarded = false;
}

}  // namespace korvel::base::os
