// cordane encipher / cordane decipher: the enciphered region of a binary download file for
// automatic binary loading, enciphered for the engine or deciphered for a look at it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "cipher.h"
#include "commands.h"
#include "large_layout.h"

namespace cordane::tools {

namespace {

using large::kEnciphered;
using large::kFileApp;
using large::kFileAppNumber;
using large::kFileIdentity;

// A file shorter than this cannot hold the whole enciphered region.
constexpr size_t kMinimumSize = kFileApp + kEnciphered;

enum class Direction { Encipher, Decipher };

constexpr char kHelpFormat[] =
    "usage: cordane %1$s (--key-selector 0|1 | --key HEX16) IN.bin OUT.bin\n"
    "\n"
    "%2$s the 4,096 application bytes at offset 0xA002 of a binary download file, the bytes\n"
    "that are enciphered in an image for automatic binary loading (download type 1), and writes\n"
    "the whole file to OUT. The key is derived from the base key and the file's first two bytes;\n"
    "every byte outside the region is copied as it stands.\n"
    "\n"
    "  --key-selector 0|1  base key A (0) or B (1), the keys built into the engine\n"
    "  --key HEX16         an 8-byte base key given as 16 hexadecimal digits, e.g. the key a\n"
    "                      program registers for another key selector with RegisterBaseKey\n"
    "\n"
    "IN must hold at least 45,058 bytes (0xB002): 2 key bytes, the 40,960-byte driver library\n"
    "and the region. OUT is written only when everything succeeds; it may be IN itself, which is\n"
    "then replaced.\n"
    "\n"
    "Exit codes: 0 OUT written; 1 IN unreadable or too short, or OUT not written;\n"
    "2 bad command line.\n";

// An open file descriptor, closed when it goes out of scope.
class UniqueFd {
  public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    // Closes now and reports whether the close succeeded (a failed close may mean lost data).
    bool Close() { return ::close(std::exchange(fd_, -1)) == 0; }

  private:
    int fd_;
};

// A temporary file next to the destination, removed unless it has been moved into place.
class TempFile {
  public:
    explicit TempFile(std::string path) : path_(std::move(path)) {}
    ~TempFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }
    void Release() { path_.clear(); }

  private:
    std::string path_;
};

class Cipher {
  public:
    explicit Cipher(Direction direction) : direction_(direction) {}
    int Run(int argc, char** argv);

  private:
    const char* Name() const { return direction_ == Direction::Encipher ? "encipher" : "decipher"; }
    int Usage(const std::string& problem) const;
    bool ReadInput(const char* path, std::vector<uint8_t>& bytes) const;
    bool WriteOutput(const char* path, const std::vector<uint8_t>& bytes) const;

    Direction direction_;
};

int Cipher::Usage(const std::string& problem) const {
    std::fprintf(stderr,
                 "cordane %s: %s\nusage: cordane %s (--key-selector 0|1 | --key HEX16) IN.bin "
                 "OUT.bin (\"cordane %s --help\" tells more)\n",
                 Name(), problem.c_str(), Name(), Name());
    return kExitUsage;
}

// 16 hexadecimal digits, optionally after 0x, into 8 bytes.
bool ParseKey(std::string text, uint8_t key[kBaseKeySize]) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
    if (text.size() != 2 * kBaseKeySize) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (digit < 0) return false;
        key[i / 2] = static_cast<uint8_t>(i % 2 == 0 ? digit << 4 : key[i / 2] | digit);
    }
    return true;
}

bool Cipher::ReadInput(const char* path, std::vector<uint8_t>& bytes) const {
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
        std::fprintf(stderr, "cordane %s: cannot open %s: %s; check the file's name\n", Name(),
                     path, std::strerror(errno));
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        std::fprintf(stderr, "cordane %s: %s is a directory; give a binary download file\n", Name(),
                     path);
        return false;
    }
    try {
        bytes.resize(info.st_size > 0 ? static_cast<size_t>(info.st_size) + 1 : 0x10000);
        size_t size = 0;
        for (;;) {
            if (size == bytes.size()) bytes.resize(bytes.size() * 2);
            const ssize_t got = ::read(fd.get(), bytes.data() + size, bytes.size() - size);
            if (got == 0) break;
            if (got < 0) {
                if (errno == EINTR) continue;
                std::fprintf(stderr, "cordane %s: cannot read %s: %s\n", Name(), path,
                             std::strerror(errno));
                return false;
            }
            size += static_cast<size_t>(got);
        }
        bytes.resize(size);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "cordane %s: %s is too large to read into memory\n", Name(), path);
        return false;
    }
    return true;
}

// Writes through a temporary file in the same directory, renamed into place once complete, so
// that a failure never leaves a partial output.
bool Cipher::WriteOutput(const char* path, const std::vector<uint8_t>& bytes) const {
    std::string pattern = std::string(path) + ".XXXXXX";
    UniqueFd fd(::mkstemp(pattern.data()));
    if (fd.get() < 0) {
        std::fprintf(stderr,
                     "cordane %s: cannot create a file next to %s: %s; check that its directory "
                     "exists and is writable\n",
                     Name(), path, std::strerror(errno));
        return false;
    }
    TempFile temp(pattern);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd.get(), 0666 & ~mask);  // mkstemp creates 0600; give the usual mode of a new file

    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            std::fprintf(stderr, "cordane %s: cannot write %s: %s; check the free space\n", Name(),
                         path, put < 0 ? std::strerror(errno) : "nothing written");
            return false;
        }
        done += static_cast<size_t>(put);
    }
    if (!fd.Close() || ::rename(temp.path().c_str(), path) != 0) {
        std::fprintf(stderr, "cordane %s: cannot write %s: %s\n", Name(), path,
                     std::strerror(errno));
        return false;
    }
    temp.Release();
    return true;
}

// The application number's three characters, as plain text (a character that is not printable
// shows as '?'), and whether all three are digits.
std::string AppNumberText(const std::vector<uint8_t>& bytes, bool& digits) {
    std::string text;
    digits = true;
    for (size_t i = 0; i < 3; ++i) {
        const uint8_t c = bytes[kFileAppNumber + i];
        digits = digits && c >= '0' && c <= '9';
        text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return text;
}

int Cipher::Run(int argc, char** argv) {
    const char* input = nullptr;
    const char* output = nullptr;
    std::string selectorText;
    std::string keyText;
    bool haveSelector = false;
    bool haveKey = false;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && (arg == "--help" || arg == "-h")) {
            std::printf(kHelpFormat, Name(),
                        direction_ == Direction::Encipher ? "Enciphers" : "Deciphers");
            return kExitOk;
        }
        if (options && arg == "--") {
            options = false;
        } else if (options && (arg == "--key-selector" || arg.rfind("--key-selector=", 0) == 0)) {
            if (arg == "--key-selector") {
                if (i + 1 >= argc) return Usage("--key-selector needs 0 or 1");
                selectorText = argv[++i];
            } else {
                selectorText = arg.substr(15);
            }
            haveSelector = true;
        } else if (options && (arg == "--key" || arg.rfind("--key=", 0) == 0)) {
            if (arg == "--key") {
                if (i + 1 >= argc) return Usage("--key needs 16 hexadecimal digits");
                keyText = argv[++i];
            } else {
                keyText = arg.substr(6);
            }
            haveKey = true;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option " + arg);
        } else if (input == nullptr) {
            input = argv[i];
        } else if (output == nullptr) {
            output = argv[i];
        } else {
            return Usage("one argument too many: " + arg);
        }
    }

    uint8_t base[kBaseKeySize] = {};
    std::string keyName;
    if (haveSelector == haveKey) {
        return Usage(haveKey ? "give either --key-selector or --key, not both"
                             : "give the base key: --key-selector 0|1 or --key HEX16");
    }
    if (haveSelector) {
        if (selectorText != "0" && selectorText != "1") {
            return Usage("key selector \"" + selectorText +
                         "\" is not built in: only 0 (base key A) and 1 (base key B) are; give "
                         "any other base key with --key HEX16");
        }
        const uint32_t selector = selectorText == "0" ? kBaseKeyA : kBaseKeyB;
        if (!BaseKeyFor(selector, base)) return Usage("no base key for selector " + selectorText);
        keyName = selector == kBaseKeyA ? "base key A" : "base key B";
    } else {
        if (!ParseKey(keyText, base)) {
            return Usage("bad key \"" + keyText +
                         "\": give exactly 16 hexadecimal digits (8 bytes), e.g. "
                         "0123456789ABCDEF");
        }
        keyName = "the base key given";
    }
    if (output == nullptr) return Usage("give both an IN.bin and an OUT.bin file");

    std::vector<uint8_t> bytes;
    if (!ReadInput(input, bytes)) {
        std::fprintf(stderr, "  %s was not written.\n", output);
        return kExitBadInput;
    }
    if (bytes.size() < kMinimumSize) {
        std::fprintf(stderr,
                     "cordane %s: %s is %zu bytes long; its enciphered region, %zu bytes at offset "
                     "0x%zX, needs a file of at least %zu bytes (0x%zX). Check that this is a "
                     "binary download file.\n  %s was not written.\n",
                     Name(), input, bytes.size(), kEnciphered, kFileApp, kMinimumSize, kMinimumSize,
                     output);
        return kExitBadInput;
    }

    bool digits = false;
    if (direction_ == Direction::Encipher) {
        const std::string number = AppNumberText(bytes, digits);
        if (!digits) {
            std::fprintf(stderr,
                         "cordane encipher: warning: the application number at 0x%zX of %s reads "
                         "\"%s\", not three digits: %s may be enciphered already, and enciphering "
                         "it twice makes it unreadable for the engine.\n",
                         kFileAppNumber, input, number.c_str(), input);
        }
    }

    const bool done =
        direction_ == Direction::Encipher
            ? EncipherImageRegion(bytes.data(), bytes.size(), kFileApp, kEnciphered, base)
            : DecipherImageRegion(bytes.data(), bytes.size(), kFileApp, kEnciphered, base);
    if (!done) {  // cannot happen after the length check; kept so that a change there shows
        std::fprintf(stderr, "cordane %s: %s: the region at 0x%zX does not fit the file\n", Name(),
                     input, kFileApp);
        return kExitBadInput;
    }

    std::string plainFacts;
    if (direction_ == Direction::Decipher) {
        const std::string number = AppNumberText(bytes, digits);
        char facts[96];
        std::snprintf(facts, sizeof facts, " (application number \"%s\", identity 0x%04X)",
                      number.c_str(), bytes[kFileIdentity] | (bytes[kFileIdentity + 1] << 8));
        plainFacts = facts;
        if (!digits) {
            std::fprintf(stderr,
                         "cordane decipher: warning: after deciphering, the application number at "
                         "0x%zX of %s reads \"%s\", not three digits: check the key, and that %s "
                         "is enciphered at all.\n",
                         kFileAppNumber, input, number.c_str(), input);
        }
    }

    if (!WriteOutput(output, bytes)) {
        std::fprintf(stderr, "  %s was not written.\n", output);
        return kExitBadInput;
    }
    std::printf(
        "%sed %zu bytes at 0x%zX-0x%zX of %s with %s and first bytes %02X %02X%s; wrote %s\n",
        Name(), kEnciphered, kFileApp, kFileApp + kEnciphered - 1, input, keyName.c_str(), bytes[0],
        bytes[1], plainFacts.c_str(), output);
    return kExitOk;
}

}  // namespace

int RunEncipher(int argc, char** argv) {
    return Cipher(Direction::Encipher).Run(argc, argv);
}

int RunDecipher(int argc, char** argv) {
    return Cipher(Direction::Decipher).Run(argc, argv);
}

}  // namespace cordane::tools
