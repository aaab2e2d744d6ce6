// The program the cordane commands that drive a reader run in, with the engine and the serial link
// loaded: "cordane download ARGS" becomes "cordane-engine download ARGS", and so does "cordane
// detect ARGS".
#include <cstdio>
#include <cstring>

#include "commands.h"

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "download") == 0) {
        return cordane::tools::RunDownload(argc - 1, argv + 1);
    }
    if (argc >= 2 && std::strcmp(argv[1], "detect") == 0) {
        return cordane::tools::RunDetect(argc - 1, argv + 1);
    }
    std::fprintf(stderr,
                 "cordane-engine: run it through cordane: \"cordane download ...\" or \"cordane "
                 "detect ...\"\n");
    return cordane::tools::kExitUsage;
}
