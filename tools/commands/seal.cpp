// cordane seal: writes or checks the check value that seals an options file ("Brenmark.ini") for
// the automatic binary loading mode.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "kit/atomic_file.h"
#include "kit/options_seal.h"

namespace cordane::tools {
namespace {

constexpr const char kUsage[] =
    "usage: cordane seal FILE\n"
    "       cordane seal --check FILE\n"
    "\n"
    "Writes the check value of the options file FILE after its seal marker, the two lines\n"
    "\"[KORVEL_OPTIONS]\" and \"CheckValue=\" (CR LF line ends), in place of what stands there up\n"
    "to the line end: nothing, or an old value of at most 8 characters. Every other byte is kept;\n"
    "a longer value is refused. The file is replaced whole or not at all, under an exclusive "
    "lock:\n"
    "a file another program holds (Brenmark checking it, another cordane seal) is refused at "
    "once,\n"
    "not waited for. With --check, only says whether the value is correct.\n"
    "\n"
    "Exit codes: 0 sealed (or, with --check, the value is correct); 1 the file cannot be read,\n"
    "locked or written, has no marker or a value that cannot be replaced, or (with --check) holds\n"
    "a wrong value; 2 bad command line.\n";

constexpr int kLockTries = 3;  // the name may lead to a new file each time another seal ends

void NoMarker(const std::string& path) {
    std::fprintf(stderr,
                 "cordane seal: %s has no seal marker; add the lines \"[KORVEL_OPTIONS]\" and "
                 "\"CheckValue=\" with CR LF line ends at its end, then run cordane seal %s\n",
                 path.c_str(), path.c_str());
}

// The value as it stands, for messages: bytes that are not printable as \xNN, and at most 40.
std::string Shown(const std::vector<uint8_t>& bytes, const korvel::kit::SealValue& value) {
    constexpr size_t kShown = 40;
    std::string text;
    for (size_t i = value.at; i < value.at + std::min(value.size, kShown); ++i) {
        if (bytes[i] >= 0x20 && bytes[i] <= 0x7E && bytes[i] != '\\' && bytes[i] != '"') {
            text += static_cast<char>(bytes[i]);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", bytes[i]);
            text += escaped;
        }
    }
    if (value.size > kShown) text += "...";
    return text;
}

int LineOf(const std::vector<uint8_t>& bytes, size_t at) {
    int line = 1;
    for (size_t i = 0; i < at; ++i) line += bytes[i] == '\n';
    return line;
}

// Why the value cannot be replaced, and what to do.
void Unsealable(const std::string& path, const std::vector<uint8_t>& bytes,
                const korvel::kit::SealValue& value, korvel::kit::SealResult result) {
    const char* why = result == korvel::kit::SealResult::ValueTooLong
                          ? "more than the 8 characters of a check value"
                          : "bytes that are not text";
    std::fprintf(stderr,
                 "cordane seal: %s: line %d holds \"%s\" after \"CheckValue=\": %s, which a "
                 "seal would overwrite. Leave nothing, or only an old 8-digit value, after "
                 "\"CheckValue=\" on that line, then run cordane seal %s\n",
                 path.c_str(), LineOf(bytes, value.at), Shown(bytes, value).c_str(), why,
                 path.c_str());
}

// An open file descriptor, closed (and its lock released) on every path.
struct HeldFile {
    int fd = -1;
    ~HeldFile() {
        if (fd >= 0) ::close(fd);
    }
};

// Opens `path` and takes its lock without waiting. A name that leads to another file once the
// lock is held (another seal has just replaced it) is opened again, so the bytes read are those
// of the file the name leads to now.
bool OpenLocked(const std::string& path, HeldFile& held) {
    for (int attempt = 0; attempt < kLockTries; ++attempt) {
        if (held.fd >= 0) ::close(held.fd);
        held.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (held.fd < 0) {
            std::fprintf(stderr, "cordane seal: cannot open %s (%s)\n", path.c_str(),
                         std::strerror(errno));
            return false;
        }
        if (!korvel::kit::LockWithoutWaiting(held.fd)) {
            if (errno == EWOULDBLOCK) {
                std::fprintf(stderr,
                             "cordane seal: %s is held by another program (Brenmark checking "
                             "it, or another cordane seal); let it finish, then run cordane seal "
                             "%s again\n",
                             path.c_str(), path.c_str());
            } else {
                std::fprintf(stderr, "cordane seal: cannot lock %s (%s)\n", path.c_str(),
                             std::strerror(errno));
            }
            return false;
        }
        struct stat opened {};
        struct stat named {};
        if (::fstat(held.fd, &opened) == 0 && ::stat(path.c_str(), &named) == 0 &&
            opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
            return true;
        }
    }
    std::fprintf(stderr,
                 "cordane seal: %s keeps being replaced by another program; let it finish, then "
                 "run cordane seal %s again\n",
                 path.c_str(), path.c_str());
    return false;
}

}  // namespace

int RunSeal(int argc, char** argv) {
    bool check = false;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (std::strcmp(argv[i], "--check") == 0) {
            check = true;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0' && std::strcmp(argv[i], "--") != 0) {
            std::fprintf(stderr, "cordane seal: unknown option %s\n%s", argv[i], kUsage);
            return kExitUsage;
        } else if (!file) {
            if (std::strcmp(argv[i], "--") == 0 && i + 1 < argc) ++i;
            file = argv[i];
        } else {
            std::fprintf(stderr, "cordane seal: one file at a time (%s and %s given)\n%s", file,
                         argv[i], kUsage);
            return kExitUsage;
        }
    }
    if (!file) {
        std::fprintf(stderr, "cordane seal: no options file given\n%s", kUsage);
        return kExitUsage;
    }

    const std::string path = file;
    std::vector<uint8_t> bytes;
    std::string error;
    // The seal holds the lock on the file from the reading to the replacement.
    HeldFile held;
    if (check) {
        bool missing = false;
        if (!korvel::kit::ReadWholeFile(path, bytes, error, missing)) {
            std::fprintf(stderr, "cordane seal: %s\n", error.c_str());
            return kExitBadInput;
        }
    } else {
        if (!OpenLocked(path, held)) return kExitBadInput;
        if (!korvel::kit::ReadOpenFile(held.fd, path, bytes, error)) {
            std::fprintf(stderr, "cordane seal: %s\n", error.c_str());
            return kExitBadInput;
        }
    }
    const std::optional<korvel::kit::SealValue> value =
        korvel::kit::FindSealValue(bytes.data(), bytes.size());
    if (!value) {
        NoMarker(path);
        return kExitBadInput;
    }
    std::vector<uint8_t> sealed = bytes;
    const korvel::kit::SealResult result = korvel::kit::Seal(sealed);
    const std::string digits(
        reinterpret_cast<const char*>(sealed.data()) + value->at,
        result == korvel::kit::SealResult::Sealed ? korvel::kit::kSealValueSize : 0);

    if (check) {
        if (korvel::kit::CheckSeal(bytes) == korvel::kit::SealState::Correct) {
            std::printf("%s: seal correct (%s)\n", path.c_str(), digits.c_str());
            return kExitOk;
        }
        if (result != korvel::kit::SealResult::Sealed) {
            Unsealable(path, bytes, *value, result);
            return kExitBadInput;
        }
        std::fprintf(stderr,
                     "cordane seal: %s: seal wrong: the file holds \"%s\" where its check value "
                     "is %s; run cordane seal %s to seal it as it is now\n",
                     path.c_str(), Shown(bytes, *value).c_str(), digits.c_str(), path.c_str());
        return kExitBadInput;
    }

    if (result != korvel::kit::SealResult::Sealed) {
        Unsealable(path, bytes, *value, result);
        return kExitBadInput;
    }
    if (!korvel::kit::ReplaceFileAtomically(path, sealed, error)) {
        std::fprintf(stderr, "cordane seal: %s\n", error.c_str());
        return kExitBadInput;
    }
    std::printf("%s: sealed with check value %s\n", path.c_str(), digits.c_str());
    return kExitOk;
}

}  // namespace cordane::tools
