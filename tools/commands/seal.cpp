// cordane seal: writes or checks the check value that seals an options file ("Brenmark.ini") for
// the automatic binary loading mode.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/file_lock.h"
#include "base/read_file.h"
#include "base/replace_file.h"
#include "cli/arguments.h"
#include "commands.h"
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

// The longest options file read: far more than any holds.
constexpr size_t kLongestFile = 16 << 20;

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

// The file cannot be locked: held by another program, most likely the program checking it or
// another seal.
int RefuseLock(const std::string& path, const korvel::base::Error& error) {
    if (error.cause != korvel::base::Cause::Busy) return ReportError("seal", error);
    std::fprintf(stderr,
                 "cordane seal: %s is held by another program (Brenmark checking it, or another "
                 "cordane seal); let it finish, then run cordane seal %s again\n",
                 path.c_str(), path.c_str());
    return kExitBadInput;
}

}  // namespace

int RunSeal(int argc, char** argv) {
    bool check = false;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (IsHelpOption(argv[i])) return PrintHelp(kUsage);
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
    const korvel::base::ReadOptions limit{.limit = kLongestFile};
    std::vector<uint8_t> bytes;
    // The seal holds the lock on the file from the reading to the replacement; a file another
    // program holds is refused at once, not waited for.
    std::optional<korvel::base::FileLock> lock;
    if (check) {
        korvel::base::Expected<korvel::base::FileBytes> read =
            korvel::base::ReadWholeFile(path, limit);
        if (!read) return ReportError("seal", read.error());
        bytes = std::move(read->bytes);
    } else {
        korvel::base::Expected<korvel::base::FileLock> locked =
            korvel::base::FileLock::TryAcquire(path, korvel::base::FileAccess::Read);
        if (!locked) return RefuseLock(path, locked.error());
        lock.emplace(std::move(*locked));
        korvel::base::Expected<korvel::base::FileInfo> info = lock->file().Info();
        if (info && info->kind != korvel::base::FileKind::Regular) {
            return ReportError("seal", korvel::base::Fail(path + " is not a regular file",
                                                          "give the options file itself"));
        }
        korvel::base::Expected<korvel::base::FileBytes> read =
            korvel::base::ReadToEnd(lock->file(), limit);
        if (!read) return ReportError("seal", read.error());
        bytes = std::move(read->bytes);
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
    if (const korvel::base::Expected<void> written = korvel::base::ReplaceWholeFile(path, sealed);
        !written) {
        return ReportError("seal", written.error());
    }
    std::printf("%s: sealed with check value %s\n", path.c_str(), digits.c_str());
    return kExitOk;
}

}  // namespace cordane::tools
