// What the cordane subcommands share: owned descriptors and temporary files, reading an input
// file and writing an output file with messages that say what to do, parsing numbers, keys and
// option values. Every function that can fail prints its own message to standard error, starting
// with "cordane COMMAND: ", and reports the failure in its result.
#ifndef CORDANE_TOOLS_TOOL_SUPPORT_H
#define CORDANE_TOOLS_TOOL_SUPPORT_H

#include <sys/stat.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cordane/formats/cipher.h"
#include "cordane/formats/srec.h"
#include "cli/unique_fd.h"

namespace cordane::tools {

using UniqueFd = korvel::UniqueFd;

// Opens `path` for reading and reports what it is. False, with a message naming the file, when it
// cannot be opened (missing, permission denied) or is not a regular file: a directory, a FIFO, a
// device. A FIFO is opened without waiting for a writer, so that nothing hangs on one; `wanted`
// names what to give instead ("an S-record file").
[[nodiscard]] bool OpenInput(std::string_view command, const char* path, const char* wanted,
                             UniqueFd& fd, struct stat& info);
// The same without the message printed: what is wrong, as a sentence without the command's name.
std::optional<std::string> OpenInputFile(const char* path, const char* wanted, UniqueFd& fd,
                                         struct stat& info);

// An input file read into memory: at most the limit asked for. `size` is the file's whole size
// (for a pipe cut at the limit, the bytes seen, one more than the limit).
struct InputFile {
    std::vector<uint8_t> bytes;
    uint64_t size = 0;
    bool cut = false;  // the file is longer than the limit: `bytes` holds its beginning
};

// Reads the rest of the open `fd` (a regular file of `info.st_size` bytes, a pipe, a device) into
// `file`, at most `limit` bytes of it. False, with a message naming `path`, on a read error or
// when memory runs out.
[[nodiscard]] bool ReadOpenInput(std::string_view command, const char* path, int fd,
                                 const struct stat& info, size_t limit, InputFile& file);

// OpenInput, then ReadOpenInput.
[[nodiscard]] bool ReadInput(std::string_view command, const char* path, const char* wanted,
                             InputFile& file, size_t limit = SIZE_MAX);

// Writes `size` bytes as the output file `path`. A regular file (or a new one) is replaced whole,
// or not at all: the bytes go to an unnamed file (O_TMPFILE) that is given its name once
// complete, so that neither a failure nor a kill leaves a partial output or a temporary file; where
// the file system has no unnamed files, a named temporary file is renamed instead and removed on
// failure. A symbolic link is followed, and the file it leads to is replaced in its own directory:
// the link stays. A character device or a FIFO is written in place, a FIFO only while something
// reads from it, and so is whatever only the kernel names (/dev/stdout); anything else (a
// directory, a block device, a socket) is refused. A new file has
// the usual mode (0666 less the umask).
[[nodiscard]] bool WriteOutputFile(std::string_view command, const char* path, const uint8_t* data,
                                   size_t size);

// WriteOutputFile's way on file systems without unnamed files, where `target` is the regular file
// (or free name) the links from `path` lead to: a named temporary file beside it, renamed over it
// once complete and removed on failure, with SIGINT, SIGTERM and SIGHUP held meanwhile.
[[nodiscard]] bool WriteThroughNamedFile(std::string_view command, const char* path,
                                         const std::string& target, const uint8_t* data,
                                         size_t size);

// The file a chain of symbolic links from `path` leads to, which need not exist (a link may name
// a file still to be written); `path` itself when it is no link. A link whose text names nothing
// while the kernel resolves it (/proc/self/fd/1 behind /dev/stdout) ends the chain there, with
// `kernelOnly` set: only that name reaches the file. False with errno set (ELOOP) on a chain too
// long or a link that cannot be read.
[[nodiscard]] bool FollowLinks(const std::string& path, std::string& target, bool& kernelOnly);

// Whether `a` and `b` name one file, through links of either kind: the same device and inode.
// False when either cannot be looked at (a file still to be written).
[[nodiscard]] bool SameFile(const char* a, const char* b);

// 57344 -> "57,344".
std::string GroupDigits(uint64_t value);

// A number in decimal or, with 0x, in hexadecimal, at most `max`; nothing else around it.
[[nodiscard]] bool ParseNumber(std::string_view text, uint64_t max, uint64_t& value);

// An 8-byte base key from 16 hexadecimal digits, optionally after 0x.
[[nodiscard]] bool ParseKey(std::string_view text, uint8_t key[kBaseKeySize]);

// Whether argv[i] is the option `name`, as "--name VALUE" or "--name=VALUE".
enum class OptionMatch {
    No,       // another argument
    Value,    // `value` holds the option's value; i is moved past it
    Missing,  // "--name" is the last argument
};
OptionMatch MatchOption(int argc, char** argv, int& i, std::string_view name, std::string& value);

// A refused conversion as the user reads it: "record at byte 18 (address 0x002001) overlaps or
// comes before the previous record" (no address for a record cut off before it).
std::string DescribeSrecRefusal(const SrecResult& result);

// The application number's three characters in a (deciphered) binary download file, as plain text
// (a character that is not printable shows as '?'), and whether all three are digits.
std::string AppNumberText(const uint8_t* file, bool& digits);

// Warns on standard error when the application number of a binary download file (`file` holds at
// least its first 0xA016 bytes) is not three digits; `deciphered` tells whether the file was
// deciphered first, which makes a wrong key or a file never enciphered the likely cause. True
// when the number is three digits.
bool CheckAppNumber(std::string_view command, const char* path, const uint8_t* file,
                    bool deciphered);

// The base key chosen on a command line with --key-selector N and --key HEX16.
struct KeyChoice {
    std::optional<uint32_t> selector;
    std::optional<std::array<uint8_t, kBaseKeySize>> key;
};

// Takes argv[i] when it is --key-selector or --key. True when it was one of them; `problem` then
// holds what is wrong with its value, if anything.
bool TakeKeyOption(int argc, char** argv, int& i, KeyChoice& choice,
                   std::optional<std::string>& problem);

// What is wrong with the pair for a command that registers --key under the selector given (or a
// selector of its own): a key given for a built-in selector (0 or 1), or a selector of a
// registered key without the key, which this program cannot know otherwise. Nothing when usable.
std::optional<std::string> CheckKeyChoice(const KeyChoice& choice);

}  // namespace cordane::tools

#endif
