// The child the process tests start: each mode does one thing a test looks for from outside.
//   exit N          ends with exit code N
//   sleep           waits until it is ended
//   report NAME     prints $NAME, its folder and what its input holds; a line on standard error
//   watch PREFIX    makes a watched temporary folder with a file and a temporary sibling in it,
//                   prints the folder's path, then waits until it is ended
//   orphan          starts "sleep" ended with it, says "ready", then waits until it is ended
//   replace PATH    writes "new" as PATH, as an ordinary user when run by root; prints the
//                   error, if any
//   arguments ...   prints each of the arguments that follow as "[argument]", one a line
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "base/cleanup_watcher.h"
#include "base/file.h"
#include "base/process.h"
#include "base/replace_file.h"
#include "os.h"  // the library's seam: which way a replacement goes

namespace {

using namespace korvel::base;

#ifndef _WIN32
constexpr uid_t kNobody = 65534;
#endif

[[noreturn]] void WaitToBeEnded() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

void Say(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

int Report(const char* name) {
    const char* value = std::getenv(name);
    std::error_code ignored;
    const std::string folder = std::filesystem::current_path(ignored).string();
    uint8_t byte = 0;
    const size_t input = std::fread(&byte, 1, 1, stdin);
    Say(std::string(name) + "=" + (value ? value : "(unset)") + "\nfolder=" + folder +
        "\ninput=" + (input == 0 && std::feof(stdin) ? "end" : "bytes") + "\n");
    std::fputs("a line on standard error\n", stderr);
    return 0;
}

int Watch(const char* prefix) {
    Expected<TemporaryFolder> folder = TemporaryFolder::Create(prefix, {"global.bin", true});
    if (!folder || !folder->Watched()) return 2;
    for (const char* name : {"/global.bin", "/global.bin.1234-0.tmp"}) {
        Expected<File> file = File::Open(folder->path() + name, FileAccess::Create);
        if (!file || !file->WriteAll(std::string_view("bytes"))) return 2;
    }
    Say(folder->path() + "\n");
    WaitToBeEnded();
}

int Orphan(const char* self) {
    SpawnOptions options;
    options.program = self;
    options.arguments = {self, "sleep"};
    options.endWithParent = true;  // its standard output is ours: the test reads it to its end
    Expected<Child> child = Child::Spawn(options);
    if (!child) return 2;
    Say("ready\n");
    WaitToBeEnded();
}

int Replace(const char* path) {
    const char* way = std::getenv("KORVEL_REPLACE_WAY");
    os::UseUnnamedFiles(way == nullptr || std::strcmp(way, "named") != 0);
#ifndef _WIN32
    if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) return 2;
#endif
    const std::string_view text = "new";
    const Expected<void> written = ReplaceWholeFile(
        path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    if (written) return 0;
    Say(FormatError(written.error()) + "\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // Lines end as on every other system: the tests compare the bytes.
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
#endif
    const std::string mode = argc > 1 ? argv[1] : "";
    const char* argument = argc > 2 ? argv[2] : "";
    if (mode == "exit") return std::atoi(argument);
    if (mode == "sleep") WaitToBeEnded();
    if (mode == "report") return Report(argument);
    if (mode == "watch") return Watch(argument);
    if (mode == "orphan") return Orphan(argv[0]);
    if (mode == "replace") return Replace(argument);
    if (mode == "arguments") {
        for (int i = 2; i < argc; ++i) Say("[" + std::string(argv[i]) + "]\n");
        return 0;
    }
    std::fprintf(stderr, "base_child: unknown mode \"%s\"\n", mode.c_str());
    return 2;
}
