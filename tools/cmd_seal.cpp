// cordane seal: writes or checks the check value that seals an options file ("Brenmark.ini") for
// the automatic binary loading mode.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "commands.h"
#include "options_file.h"

namespace cordane::tools {
namespace {

constexpr const char kUsage[] =
    "usage: cordane seal FILE\n"
    "       cordane seal --check FILE\n"
    "\n"
    "Writes the check value of the options file FILE after its seal marker, the two lines\n"
    "\"[KORVEL_OPTIONS]\" and \"CheckValue=\" (CR LF line ends), keeping every other byte; the\n"
    "file is replaced whole or not at all. With --check, only says whether the value is correct.\n"
    "\n"
    "Exit codes: 0 sealed (or, with --check, the value is correct); 1 the file cannot be read or\n"
    "written, has no marker, or (with --check) holds a wrong value; 2 bad command line.\n";

void NoMarker(const std::string& path) {
    std::fprintf(stderr,
                 "cordane seal: %s has no seal marker; add the lines \"[KORVEL_OPTIONS]\" and "
                 "\"CheckValue=\" with CR LF line ends at its end, then run cordane seal %s\n",
                 path.c_str(), path.c_str());
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
    bool missing = false;
    if (!brenmark::ReadWholeFile(path, bytes, error, missing)) {
        std::fprintf(stderr, "cordane seal: %s\n", error.c_str());
        return kExitBadInput;
    }
    const std::optional<size_t> at = brenmark::FindSealValue(bytes.data(), bytes.size());
    if (!at) {
        NoMarker(path);
        return kExitBadInput;
    }

    if (check) {
        const std::string expected = brenmark::ComputeSealValue(bytes.data(), bytes.size(), *at);
        const size_t stored = std::min(brenmark::kSealValueSize, bytes.size() - *at);
        const std::string found(reinterpret_cast<const char*>(bytes.data()) + *at, stored);
        if (brenmark::CheckSeal(bytes) == brenmark::SealState::Correct) {
            std::printf("%s: seal correct (%s)\n", path.c_str(), expected.c_str());
            return kExitOk;
        }
        std::fprintf(stderr,
                     "cordane seal: %s: seal wrong: the file holds \"%s\" where its check value "
                     "is %s; run cordane seal %s to seal it as it is now\n",
                     path.c_str(), found.c_str(), expected.c_str(), path.c_str());
        return kExitBadInput;
    }

    brenmark::Seal(bytes);
    if (!brenmark::ReplaceFileAtomically(path, bytes, error)) {
        std::fprintf(stderr, "cordane seal: %s\n", error.c_str());
        return kExitBadInput;
    }
    std::printf("%s: sealed with check value %.8s\n", path.c_str(),
                reinterpret_cast<const char*>(bytes.data()) + *at);
    return kExitOk;
}

}  // namespace cordane::tools
