// Writing a file whole or not at all. A crash, a kill, a full disk or a refused directory leaves
// either the old file or the new one, never a part of either, and no temporary file.
#ifndef KORVEL_BASE_REPLACE_FILE_H
#define KORVEL_BASE_REPLACE_FILE_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/error.h"

namespace korvel::base {

struct ReplaceOptions {
    // The permission bits of a new file, less the umask.
    unsigned newFileMode = 0666;
    // These bits, umask aside, whether the file is new or not (a file that must always be
    // readable by all, say). Without them an existing file keeps its own.
    std::optional<unsigned> forcedMode{};
};

// Writes `bytes` as the file `path`:
// - a regular file (or a free name) is replaced whole: the bytes go to an unnamed file where the
//   system has them, else to a temporary file in the same folder, which is flushed to the disk,
//   given the name, and the folder flushed after it;
// - a symbolic link is followed, and the file it leads to is replaced in its own folder: the link
//   stays; a link to a name still free makes that file;
// - a character device or a FIFO is written in place (a FIFO only while something reads from
//   it), and so is what only the system can name (/dev/stdout leading to a pipe);
// - a folder, a block device or a socket is refused.
// On failure the message names the file (and the link's target) and `path` is as it was.
Expected<void> ReplaceWholeFile(const std::string& path, std::span<const uint8_t> bytes,
                                const ReplaceOptions& options = {});

}  // namespace korvel::base

#endif
