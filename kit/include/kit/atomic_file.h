// Replacing a small file whole or not at all: the bytes go to a temporary file in the same
// directory, which is flushed to the disk and then renamed over the file. A crash, a kill or a
// full disk leaves either the old file or the new one, never a part of either.
#ifndef KORVEL_KIT_ATOMIC_FILE_H
#define KORVEL_KIT_ATOMIC_FILE_H

#include <cstdint>
#include <string>
#include <vector>

namespace korvel::kit {

// Writes `bytes` as `path`. An existing file keeps its permission bits; a new one gets `newMode`
// less the umask; a symbolic link is followed and stays. False with `error` set to a sentence
// naming the file and the system's reason; the temporary file is then removed and `path` is
// untouched.
bool ReplaceFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                           std::string& error, unsigned newMode = 0666);

// Takes the exclusive lock (flock) of an open file without waiting: false (errno EWOULDBLOCK)
// when another open of the file holds it. Brenmark's check of the options file and cordane seal
// both take it, so neither reads a file the other is working on, and neither waits for the other.
bool LockWithoutWaiting(int fd);

// Reads the whole regular file open as `fd` (named `path` in messages), as ReadWholeFile does.
bool ReadOpenFile(int fd, const std::string& path, std::vector<uint8_t>& bytes, std::string& error,
                  size_t limit = 16u << 20);

// Reads a whole regular file. False with `error` set (missing, unreadable, not a regular file,
// longer than `limit`); `missing` tells a file that does not exist from one that cannot be read.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error,
                   bool& missing, size_t limit = 16u << 20);

}  // namespace korvel::kit

#endif
