#include "cli/tool_support.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "cordane/formats/large_layout.h"

namespace cordane::tools {

namespace {

// "cordane COMMAND: " in front of every message.
std::string Prefix(std::string_view command) {
    return "cordane " + std::string(command) + ": ";
}

// What a file that is not a regular file is, for a message: "a FIFO".
const char* FileKind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO (named pipe) or a pipe";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "a special file";
}

// A temporary file next to a destination, removed unless it has been moved into place.
class TempFile {
  public:
    explicit TempFile(std::string path) : path_(std::move(path)) {}
    ~TempFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }
    // The file has been renamed into place: nothing is left to remove.
    void Release() { path_.clear(); }

  private:
    std::string path_;
};

// Holds SIGINT, SIGTERM and SIGHUP back while a named temporary file exists, so that they end the
// program only once the file is in place or gone; SIGKILL cannot be held, which is why unnamed
// files come first.
class HeldSignals {
  public:
    HeldSignals() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        held_ = ::pthread_sigmask(SIG_BLOCK, &set, &previous_) == 0;
    }
    ~HeldSignals() {
        if (held_) ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

  private:
    sigset_t previous_{};
    bool held_ = false;
};

// Writes all of `data` to `fd`; false with errno set.
bool WriteAll(int fd, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(fd, data + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return false;
        if (put == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

// The directory part of a path: "." for a bare name.
std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A name for a temporary file beside `target` that no file has yet, at the time of asking.
std::string SiblingName(const std::string& target, unsigned attempt) {
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, ".%d-%u.tmp", static_cast<int>(::getpid()), attempt);
    return target + suffix;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::optional<std::string> OpenInputFile(const char* path, const char* wanted, UniqueFd& fd,
                                         struct stat& info) {
    // O_NONBLOCK: a FIFO without a writer would hold the open, and the program, forever.
    fd.Reset(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
        if (errno == EACCES || errno == EPERM) {
            return "cannot open " + std::string(path) +
                   ": permission denied; give the user read access to the file, or copy it "
                   "somewhere readable";
        }
        return "cannot open " + std::string(path) + ": " + std::strerror(errno) +
               "; check the file's name";
    }
    if (S_ISDIR(info.st_mode)) {
        return std::string(path) + " is a directory; give " + wanted;
    }
    if (!S_ISREG(info.st_mode)) {
        // A pipe or a device may never end, or never deliver a byte.
        return std::string(path) + " is " + FileKind(info.st_mode) + ", not a regular file; give " +
               wanted + " (save the data to a file first)";
    }
    // Reads of a regular file never wait; the flag is dropped all the same for what follows.
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    return std::nullopt;
}

bool OpenInput(std::string_view command, const char* path, const char* wanted, UniqueFd& fd,
               struct stat& info) {
    if (const std::optional<std::string> problem = OpenInputFile(path, wanted, fd, info)) {
        std::fprintf(stderr, "%s%s\n", Prefix(command).c_str(), problem->c_str());
        fd.Reset();
        return false;
    }
    return true;
}

bool ReadOpenInput(std::string_view command, const char* path, int fd, const struct stat& info,
                   size_t limit, InputFile& file) {
    const bool regular = S_ISREG(info.st_mode) && info.st_size > 0;
    // One byte past the limit tells a longer file; one byte past the expected size lets the read
    // that meets the end of the file return 0 without first growing the buffer.
    const size_t wanted = limit == SIZE_MAX ? limit : limit + 1;
    try {
        size_t size = 0;
        file.bytes.resize(
            std::min(regular ? static_cast<size_t>(info.st_size) + 1 : size_t{0x10000}, wanted));
        for (;;) {
            if (size == file.bytes.size()) {
                if (size >= wanted) break;
                file.bytes.resize(std::min(size * 2, wanted));
            }
            const ssize_t got = ::read(fd, file.bytes.data() + size, file.bytes.size() - size);
            if (got == 0) break;
            if (got < 0) {
                if (errno == EINTR) continue;
                std::fprintf(stderr, "%scannot read %s: %s\n", Prefix(command).c_str(), path,
                             std::strerror(errno));
                return false;
            }
            size += static_cast<size_t>(got);
        }
        file.cut = size > limit;
        file.bytes.resize(file.cut ? limit : size);
        file.size = file.cut && regular ? std::max<uint64_t>(info.st_size, size) : size;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s%s is too large to read into memory\n", Prefix(command).c_str(),
                     path);
        return false;
    } catch (const std::length_error&) {
        std::fprintf(stderr, "%s%s is too large to read into memory\n", Prefix(command).c_str(),
                     path);
        return false;
    }
    return true;
}

bool ReadInput(std::string_view command, const char* path, const char* wanted, InputFile& file,
               size_t limit) {
    UniqueFd fd;
    struct stat info {};
    return OpenInput(command, path, wanted, fd, info) &&
           ReadOpenInput(command, path, fd.get(), info, limit, file);
}

bool FollowLinks(const std::string& path, std::string& target, bool& kernelOnly) {
    kernelOnly = false;
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {  // the kernel's own limit
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            target = current;  // the end of the chain, or a name still free
            return true;
        }
        std::string link(static_cast<size_t>(info.st_size) + 1, '\0');
        const ssize_t length = ::readlink(current.c_str(), link.data(), link.size());
        if (length < 0) return false;
        if (static_cast<size_t>(length) >= link.size()) {
            errno = EAGAIN;  // the link changed while it was read: try again
            --hops;
            continue;
        }
        link.resize(static_cast<size_t>(length));
        if (link.empty()) {
            errno = ENOENT;
            return false;
        }
        std::string next = link[0] == '/' ? link : DirectoryOf(current) + "/" + link;
        struct stat reached {};
        if (::lstat(next.c_str(), &reached) != 0 && ::stat(current.c_str(), &reached) == 0) {
            // A link whose text names nothing that the kernel still resolves: /proc/self/fd/1
            // ("pipe:[4711]") behind /dev/stdout, say.
            target = current;
            kernelOnly = true;
            return true;
        }
        current = std::move(next);
    }
    errno = ELOOP;
    return false;
}

namespace {

// A character device or a FIFO, written in place: never truncated, never replaced, never created.
// With `regular`, a regular file that only the kernel can name (through /proc/self/fd) as well,
// truncated first.
bool WriteInPlace(std::string_view command, const char* path, const std::string& target,
                  const uint8_t* data, size_t size, bool regular) {
    // O_NONBLOCK: a FIFO that nobody reads from is refused at once instead of waited for.
    UniqueFd fd(::open(target.c_str(),
                       O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK | (regular ? O_TRUNC : 0)));
    if (fd.get() < 0) {
        if (errno == ENXIO) {
            std::fprintf(stderr,
                         "%scannot write %s: it is a FIFO that nothing reads from; start its "
                         "reader first, or give a regular file\n",
                         Prefix(command).c_str(), path);
        } else {
            std::fprintf(stderr, "%scannot write %s: %s\n", Prefix(command).c_str(), path,
                         std::strerror(errno));
        }
        return false;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 ||
        !(S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode) || (regular && S_ISREG(info.st_mode)))) {
        std::fprintf(stderr, "%scannot write %s: it changed while it was opened; try again\n",
                     Prefix(command).c_str(), path);
        return false;
    }
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    if (!WriteAll(fd.get(), data, size) || !fd.Close()) {
        std::fprintf(stderr, "%scannot write %s: %s\n", Prefix(command).c_str(), path,
                     std::strerror(errno));
        return false;
    }
    return true;
}

// Gives the complete unnamed file `fd` the name `target`, replacing what holds it. False with
// errno set when the system cannot name it.
bool NameUnnamedFile(int fd, const std::string& target) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    // Through /proc for an ordinary user; AT_EMPTY_PATH where /proc is missing (it needs a
    // privilege an ordinary user lacks).
    auto link = [&](const std::string& name) {
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return true;
        }
        if (errno != ENOENT) return false;
        return ::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0;
    };
    if (link(target)) return true;
    if (errno != EEXIST) return false;
    // A link cannot replace a file: link a name of our own beside it, then rename that over it.
    // Signals are held meanwhile, so that only SIGKILL between the two calls leaves the name.
    const HeldSignals held;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string name = SiblingName(target, attempt);
        if (!link(name)) {
            if (errno == EEXIST) continue;
            return false;
        }
        TempFile temp(name);
        if (::rename(name.c_str(), target.c_str()) != 0) return false;
        temp.Release();
        return true;
    }
    errno = EEXIST;
    return false;
}

}  // namespace

// The fallback of file systems without unnamed files: a named temporary file, renamed into place
// once complete and removed on failure, signals held meanwhile.
bool WriteThroughNamedFile(std::string_view command, const char* path, const std::string& target,
                           const uint8_t* data, size_t size) {
    const HeldSignals held;
    std::string pattern = target + ".XXXXXX";
    UniqueFd fd(::mkstemp(pattern.data()));
    if (fd.get() < 0) {
        std::fprintf(stderr,
                     "%scannot create a file next to %s: %s; check that its directory exists and "
                     "is writable\n",
                     Prefix(command).c_str(), target.c_str(), std::strerror(errno));
        return false;
    }
    TempFile temp(pattern);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd.get(), 0666 & ~mask);  // mkstemp creates 0600; give the usual mode of a new file
    if (!WriteAll(fd.get(), data, size)) {
        std::fprintf(stderr, "%scannot write %s: %s; check the free space\n",
                     Prefix(command).c_str(), path, std::strerror(errno));
        return false;
    }
    if (!fd.Close() || ::rename(temp.path().c_str(), target.c_str()) != 0) {
        std::fprintf(stderr, "%scannot write %s: %s\n", Prefix(command).c_str(), path,
                     std::strerror(errno));
        return false;
    }
    temp.Release();
    return true;
}

bool WriteOutputFile(std::string_view command, const char* path, const uint8_t* data, size_t size) {
    std::string target;
    bool kernelOnly = false;
    if (!FollowLinks(path, target, kernelOnly)) {
        std::fprintf(stderr, "%scannot write %s: %s; check its symbolic links\n",
                     Prefix(command).c_str(), path, std::strerror(errno));
        return false;
    }
    const std::string shown =
        target == path ? std::string(path) : std::string(path) + " (a link to " + target + ")";
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0 && (kernelOnly || !S_ISREG(info.st_mode))) {
        if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISREG(info.st_mode)) {
            return WriteInPlace(command, shown.c_str(), target, data, size, kernelOnly);
        }
        std::fprintf(stderr, "%scannot write %s: it is %s; give the name of a regular file\n",
                     Prefix(command).c_str(), shown.c_str(), FileKind(info.st_mode));
        return false;
    }

    // 0666: the kernel takes the umask off, as for any new file.
    UniqueFd fd(::open(DirectoryOf(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        // Kernels and file systems without unnamed files say so in one of these ways.
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
            return WriteThroughNamedFile(command, shown.c_str(), target, data, size);
        }
        std::fprintf(stderr,
                     "%scannot create a file next to %s: %s; check that its directory exists and "
                     "is writable\n",
                     Prefix(command).c_str(), shown.c_str(), std::strerror(errno));
        return false;
    }
    if (!WriteAll(fd.get(), data, size)) {
        std::fprintf(stderr, "%scannot write %s: %s; check the free space\n",
                     Prefix(command).c_str(), shown.c_str(), std::strerror(errno));
        return false;
    }
    if (!NameUnnamedFile(fd.get(), target)) {
        const int error = errno;
        if (error == EPERM || error == ENOENT || error == EXDEV || error == EOPNOTSUPP) {
            // No /proc to link through and no privilege for AT_EMPTY_PATH, or a file system that
            // refuses the link: the named way before giving up.
            return WriteThroughNamedFile(command, shown.c_str(), target, data, size);
        }
        std::fprintf(stderr, "%scannot write %s: %s\n", Prefix(command).c_str(), shown.c_str(),
                     std::strerror(error));
        return false;
    }
    if (!fd.Close()) {
        std::fprintf(stderr, "%scannot write %s: %s; check the free space\n",
                     Prefix(command).c_str(), shown.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

bool ParseNumber(std::string_view text, uint64_t max, uint64_t& value) {
    int base = 10;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    uint64_t number = 0;
    for (const char c : text) {
        const int digit = base == 16 ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (digit < 0) return false;
        const auto d = static_cast<uint64_t>(digit);
        if (d > max || number > (max - d) / static_cast<uint64_t>(base)) {
            return false;  // beyond max, and perhaps beyond 64 bits
        }
        number = number * static_cast<uint64_t>(base) + d;
    }
    value = number;
    return true;
}

bool ParseKey(std::string_view text, uint8_t key[kBaseKeySize]) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.size() != 2 * kBaseKeySize) return false;
    uint8_t bytes[kBaseKeySize] = {};
    for (size_t i = 0; i < text.size(); ++i) {
        const int digit = HexDigit(text[i]);
        if (digit < 0) return false;
        bytes[i / 2] = static_cast<uint8_t>(bytes[i / 2] << 4 | digit);
    }
    std::memcpy(key, bytes, kBaseKeySize);
    return true;
}

OptionMatch MatchOption(int argc, char** argv, int& i, std::string_view name, std::string& value) {
    const std::string_view arg = argv[i];
    if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
        value = arg.substr(name.size() + 1);
        return OptionMatch::Value;
    }
    if (arg != name) return OptionMatch::No;
    if (i + 1 >= argc) return OptionMatch::Missing;
    value = argv[++i];
    return OptionMatch::Value;
}

std::string DescribeSrecRefusal(const SrecResult& result) {
    std::string text = "record at byte " + std::to_string(result.offset);
    if (result.address != 0 || result.error != SrecError::Truncated) {
        char address[32];
        std::snprintf(address, sizeof address, " (address 0x%06X)", result.address);
        text += address;
    }
    return text + " " + SrecErrorText(result.error);
}

std::string AppNumberText(const uint8_t* file, bool& digits) {
    std::string text;
    digits = true;
    for (size_t i = 0; i < 3; ++i) {
        const uint8_t c = file[large::kFileAppNumber + i];
        digits = digits && c >= '0' && c <= '9';
        text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return text;
}

bool CheckAppNumber(std::string_view command, const char* path, const uint8_t* file,
                    bool deciphered) {
    bool digits = false;
    const std::string number = AppNumberText(file, digits);
    if (!digits) {
        std::fprintf(stderr,
                     "%swarning: the application number at 0x%zX of %s reads \"%s\", not three "
                     "digits: %s\n",
                     Prefix(command).c_str(), large::kFileAppNumber, path, number.c_str(),
                     deciphered ? "check the key, and that the file is enciphered at all"
                                : "if the file is enciphered, give --enciphered or name it *.kor");
    }
    return digits;
}

bool TakeKeyOption(int argc, char** argv, int& i, KeyChoice& choice,
                   std::optional<std::string>& problem) {
    std::string text;
    switch (MatchOption(argc, argv, i, "--key-selector", text)) {
        case OptionMatch::Missing:
            problem =
                "--key-selector needs a number: 0 (base key A), 1 (base key B) or the "
                "selector to register --key under";
            return true;
        case OptionMatch::Value: {
            uint64_t selector = 0;
            if (!ParseNumber(text, UINT32_MAX, selector)) {
                problem = "bad key selector \"" + text +
                          "\": give 0 (base key A), 1 (base key B) or a number up to "
                          "4294967295 (0xFFFFFFFF) that names the key given with --key";
            } else {
                choice.selector = static_cast<uint32_t>(selector);
            }
            return true;
        }
        case OptionMatch::No:
            break;
    }
    switch (MatchOption(argc, argv, i, "--key", text)) {
        case OptionMatch::Missing:
            problem = "--key needs 16 hexadecimal digits";
            return true;
        case OptionMatch::Value: {
            std::array<uint8_t, kBaseKeySize> key{};
            if (!ParseKey(text, key.data())) {
                problem = "bad key \"" + text +
                          "\": give exactly 16 hexadecimal digits (8 bytes), e.g. "
                          "0123456789ABCDEF";
            } else {
                choice.key = key;
            }
            return true;
        }
        case OptionMatch::No:
            break;
    }
    return false;
}

std::optional<std::string> CheckKeyChoice(const KeyChoice& choice) {
    if (!choice.selector) return std::nullopt;
    const uint32_t selector = *choice.selector;
    const bool builtIn = selector == kBaseKeyA || selector == kBaseKeyB;
    if (builtIn && choice.key) {
        return "--key cannot replace the built-in base key " +
               std::string(selector == 0 ? "A" : "B") + " (key selector " +
               std::to_string(selector) +
               "): leave --key-selector out, or give a selector of 2 or more to register the key "
               "under";
    }
    if (!builtIn && !choice.key) {
        return "key selector " + std::to_string(selector) +
               " names no key that this program knows: give the base key with --key HEX16, or "
               "use selector 0 or 1 for a built-in key";
    }
    return std::nullopt;
}

bool SameFile(const char* a, const char* b) {
    struct stat first {};
    struct stat second {};
    return ::stat(a, &first) == 0 && ::stat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

std::string GroupDigits(uint64_t value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<size_t>(at), 1, ',');
    }
    return digits;
}

}  // namespace cordane::tools
