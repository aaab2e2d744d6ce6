#include "tool_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "large_layout.h"

namespace cordane::tools {

namespace {

// "cordane COMMAND: " in front of every message.
std::string Prefix(std::string_view command) {
    return "cordane " + std::string(command) + ": ";
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

void UniqueFd::Reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

bool UniqueFd::Close() noexcept {
    return ::close(std::exchange(fd_, -1)) == 0;
}

TempFile::~TempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
}

bool OpenInput(std::string_view command, const char* path, const char* wanted, UniqueFd& fd,
               struct stat& info) {
    fd.Reset(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
        std::fprintf(stderr, "%scannot open %s: %s; check the file's name\n",
                     Prefix(command).c_str(), path, std::strerror(errno));
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        std::fprintf(stderr, "%s%s is a directory; give %s\n", Prefix(command).c_str(), path,
                     wanted);
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

bool WriteFileAtomically(std::string_view command, const char* path, const uint8_t* data,
                         size_t size) {
    std::string pattern = std::string(path) + ".XXXXXX";
    UniqueFd fd(::mkstemp(pattern.data()));
    if (fd.get() < 0) {
        std::fprintf(stderr,
                     "%scannot create a file next to %s: %s; check that its directory exists and "
                     "is writable\n",
                     Prefix(command).c_str(), path, std::strerror(errno));
        return false;
    }
    TempFile temp(pattern);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd.get(), 0666 & ~mask);  // mkstemp creates 0600; give the usual mode of a new file

    size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(fd.get(), data + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            std::fprintf(stderr, "%scannot write %s: %s; check the free space\n",
                         Prefix(command).c_str(), path,
                         put < 0 ? std::strerror(errno) : "nothing written");
            return false;
        }
        done += static_cast<size_t>(put);
    }
    if (!fd.Close() || ::rename(temp.path().c_str(), path) != 0) {
        std::fprintf(stderr, "%scannot write %s: %s\n", Prefix(command).c_str(), path,
                     std::strerror(errno));
        return false;
    }
    temp.Release();
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

}  // namespace cordane::tools
