// Reading a whole file into memory: regular files only unless asked, never more than a limit,
// opened without waiting for a FIFO's writer, and refused with a message that names the file.
#ifndef KORVEL_BASE_READ_FILE_H
#define KORVEL_BASE_READ_FILE_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/file.h"

namespace korvel::base {

// What to do with a file longer than the limit.
enum class OverLimit : uint8_t {
    Refuse,        // Cause::TooLarge
    KeepBeginning  // the first `limit` bytes, with FileBytes::cut set
};

struct ReadOptions {
    size_t limit = SIZE_MAX;  // the most bytes taken
    OverLimit overLimit = OverLimit::Refuse;
    // False: a FIFO or a device is read too, to its end (and its open may wait for a writer).
    // A directory is always refused.
    bool regularOnly = true;
    size_t slack = 0;  // zero bytes put after the file's bytes (room for a parser's sentinel)
};

struct FileBytes {
    std::vector<uint8_t> bytes;  // the file (its beginning when cut), then `slack` zero bytes
    uint64_t size = 0;           // the file's size; for a pipe cut at the limit, the bytes seen
    bool cut = false;            // longer than the limit: `bytes` holds its beginning
};

// Reads `path` whole. Refused (the message names the file): missing (Cause::NotFound), not
// readable (Denied), a directory (IsDirectory), a FIFO, device or socket (NotRegularFile) unless
// `regularOnly` is off, longer than the limit (TooLarge) unless its beginning is kept, a read
// error, or no memory for it (OutOfMemory).
Expected<FileBytes> ReadWholeFile(const std::string& path, const ReadOptions& options = {});

// Opens `path` and checks it as ReadWholeFile would (its kind, and its size against a limit that
// refuses), without reading it: the checks before a job starts.
Expected<FileInfo> CheckReadable(const std::string& path, const ReadOptions& options = {});

// Reads the rest of the open `file` (a regular file, a pipe, a device) with the same limits,
// waiting for what a pipe or device still has to give; `regularOnly` is not looked at.
Expected<FileBytes> ReadToEnd(File& file, const ReadOptions& options = {});

// A whole file in memory, mapped in place where the system allows it (no copy), else read. The
// same refusals as ReadWholeFile; `slack` is not looked at.
class FileView {
  public:
    FileView() = default;
    FileView(FileView&& other) noexcept;
    FileView& operator=(FileView&& other) noexcept;
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;
    ~FileView();

    static Expected<FileView> Map(const std::string& path, const ReadOptions& options = {});

    std::span<const uint8_t> bytes() const noexcept { return {data_, length_}; }
    uint64_t size() const noexcept { return size_; }  // as FileBytes::size
    bool cut() const noexcept { return cut_; }

  private:
    void Unmap() noexcept;

    const uint8_t* data_ = nullptr;
    size_t length_ = 0;
    uint64_t size_ = 0;
    bool cut_ = false;
    bool mapped_ = false;
    std::vector<uint8_t> read_;  // the bytes when the file could not be mapped
};

// While it lives, a mapped file that another program cuts shorter ends this program with
// `message` on standard error and `exitCode`, instead of a crash when the lost bytes are read.
// One at a time.
class MappingGuard {
  public:
    MappingGuard(std::string_view message, int exitCode);
    ~MappingGuard();
    MappingGuard(const MappingGuard&) = delete;
    MappingGuard& operator=(const MappingGuard&) = delete;
};

}  // namespace korvel::base

#endif
