// The program the cordane commands that drive a reader or read the job log run in, with the engine,
// the serial link and the database libraries loaded: "cordane download ARGS" becomes
// "cordane-engine download ARGS", and so do "cordane detect ARGS" and "cordane log ARGS".
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/console.h"
#include "commands.h"

namespace {

int Main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "download") == 0) {
        return cordane::tools::RunDownload(argc - 1, argv + 1);
    }
    if (argc >= 2 && std::strcmp(argv[1], "detect") == 0) {
        return cordane::tools::RunDetect(argc - 1, argv + 1);
    }
    if (argc >= 2 && std::strcmp(argv[1], "log") == 0) {
        return cordane::tools::RunLog(argc - 1, argv + 1);
    }
    std::fprintf(stderr,
                 "cordane-engine: run it through cordane: \"cordane download ...\", \"cordane "
                 "detect ...\" or \"cordane log ...\"\n");
    return cordane::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    cordane::tools::PrepareConsole();
    std::vector<std::string> arguments = cordane::tools::Utf8Arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return Main(static_cast<int>(arguments.size()), pointers.data());
}
