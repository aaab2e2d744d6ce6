// Reading a job's files: whole regular files only, never a device or a FIFO, never more than a
// limit, with the reason when a file cannot be read.
#ifndef CORDANE_FILE_READ_H
#define CORDANE_FILE_READ_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cordane {

enum class FileFault : uint8_t {
    None,
    Missing,     // no such file
    Directory,   // a directory
    NotRegular,  // a device, a FIFO or a socket: never a download file
    Denied,      // no permission to read it
    TooLarge,    // longer than the limit
    Unreadable,  // any other failure to open or read it
};

struct FileBytes {
    FileFault fault = FileFault::None;
    std::string reason;          // an Unreadable file: the system's words for the failure
    uint64_t size = 0;           // the file's size, once known
    std::vector<uint8_t> bytes;  // the whole file, then `slack` zero bytes
};

// Checks that `path` names a regular file that can be opened for reading, without reading it.
[[nodiscard]] FileBytes ProbeFile(const std::string& path);

// Reads the whole of `path`, refusing anything longer than `limit` bytes. Opening never blocks
// (a FIFO without a writer is refused, not waited for).
[[nodiscard]] FileBytes ReadWholeFile(const std::string& path, size_t limit, size_t slack = 0);

// Why the file cannot be used, as the end of a sentence: "it is a directory", "permission
// denied", "it is 5000000 bytes long, more than the 4194304 bytes allowed"...
std::string FileFaultReason(const FileBytes& file, size_t limit = 0);

}  // namespace cordane

#endif
