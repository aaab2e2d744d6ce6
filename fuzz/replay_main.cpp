// Replays fuzz inputs through a fuzz target without libFuzzer: every file named on the command
// line, and every file in every directory named, is fed to LLVMFuzzerTestOneInput once. A target
// that finds a fault aborts, so reaching the summary means every input passed.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

char g_current[4096];  // the input being run, for the crash note

extern "C" void OnCrash(int signal) {
    constexpr char kPrefix[] = "replay: crashed on ";
    ssize_t ignored = ::write(STDERR_FILENO, kPrefix, sizeof kPrefix - 1);
    ignored = ::write(STDERR_FILENO, g_current, std::strlen(g_current));
    ignored = ::write(STDERR_FILENO, "\n", 1);
    (void)ignored;
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

bool RunFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::snprintf(g_current, sizeof g_current, "%s", path.c_str());
    // A copy of exactly the input's size, so that the sanitizers catch any read past its end.
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(data.data(), data.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
        return 2;
    }
    for (int s : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) ::signal(s, OnCrash);

    size_t passed = 0;
    size_t failed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg = argv[i];
        std::error_code error;
        if (std::filesystem::is_directory(arg, error)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::directory_iterator(arg, error)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
            if (files.empty()) {
                std::fprintf(stderr,
                             "replay: %s holds no inputs; give the directory of the target's "
                             "corpus\n",
                             arg.c_str());
                return 1;
            }
            std::sort(files.begin(), files.end());
            for (const auto& file : files) (RunFile(file) ? passed : failed)++;
        } else if (std::filesystem::is_regular_file(arg, error)) {
            (RunFile(arg) ? passed : failed)++;
        } else {
            std::fprintf(stderr, "replay: %s does not exist; give a corpus directory or file\n",
                         arg.c_str());
            return 1;
        }
    }
    std::printf("%zu passed, %zu failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
