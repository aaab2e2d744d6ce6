// An open file, pipe or device owned by exactly one object and closed when that object goes; what
// the system holds it by stays inside. Failures name the file and say what to do next.
#ifndef KORVEL_BASE_FILE_H
#define KORVEL_BASE_FILE_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/error.h"

namespace korvel::base {

enum class FileKind : uint8_t {
    Regular,
    Directory,
    Fifo,  // a named pipe, or a pipe
    CharacterDevice,
    BlockDevice,
    Socket,
    SymbolicLink,
    Other,
};

// What a file of this kind is, for a message: "a directory", "a character device".
const char* DescribeFileKind(FileKind kind);

struct FileInfo {
    FileKind kind = FileKind::Other;
    uint64_t size = 0;  // bytes, for a regular file
};

// The three streams every program starts with.
enum class StandardStream : uint8_t { Input, Output, Errors };

// How a file is opened.
enum class FileAccess : uint8_t {
    Read,       // an existing file, read; a FIFO without a writer does not hold the open
    ReadWrite,  // an existing file, read and written
    Create,     // written from its start: created (0666 less the umask) or truncated
    Append,     // written at its end: created (0666 less the umask) when missing
};

class File {
  public:
    File() = default;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    // Opens `path`. Opening to read never waits for a FIFO's writer or a serial device's
    // carrier: a regular file is then read as usual, anything else without waiting (nothing
    // there yet is Cause::WouldBlock).
    static Expected<File> Open(const std::string& path, FileAccess access);
    // A handle of its own on a standard stream (closed with the File; the stream stays open).
    static Expected<File> Duplicate(StandardStream stream);

    bool IsOpen() const noexcept { return handle_ != kNoHandle; }
    explicit operator bool() const noexcept { return IsOpen(); }

    // Reads what is there, at most `buffer.size()` bytes; 0 at the end. A pipe or device that
    // does not wait (a child's output) and has nothing yet answers Cause::WouldBlock.
    Expected<size_t> Read(std::span<uint8_t> buffer);
    // Writes all of `bytes`, whatever the system takes in one go.
    Expected<void> WriteAll(std::span<const uint8_t> bytes);
    Expected<void> WriteAll(std::string_view text);
    Expected<FileInfo> Info() const;
    // Waits until what was written is on the disk.
    Expected<void> Flush();
    // Closes now; a failed close may mean lost data, which a writer wants to know.
    Expected<void> Close();

    // Takes the exclusive advisory lock of the open file without waiting: true when taken, false
    // when another open file holds it. It is let go when the file is closed.
    Expected<bool> TryLock();

    // For the code that stays with one system (the link's system-call seam, the emulator's
    // pseudo-terminals): adopts what the system names an open file by, or hands it out.
    static File Adopt(std::intptr_t native, std::string name = "an open file") noexcept;
    std::intptr_t Native() const noexcept { return handle_; }
    // Gives the file up without closing it.
    std::intptr_t Release() noexcept;

    // The name used in messages about this file.
    const std::string& Name() const noexcept { return name_; }

  private:
    static constexpr std::intptr_t kNoHandle = -1;
    File(std::intptr_t handle, std::string name) noexcept;

    std::intptr_t handle_ = kNoHandle;
    std::string name_;

    friend class Child;
    friend class Waitable;
};

// Writes all of `text` to a standard stream: a view's lines, a JSON event.
Expected<void> WriteStandard(StandardStream stream, std::string_view text);

}  // namespace korvel::base

#endif
