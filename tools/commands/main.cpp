// cordane: command-line access to the download system. One subcommand per task; the table below
// is the only place that lists them.
//
// The commands that drive a reader run in a program of their own, CORDANE_ENGINE_PROGRAM (beside
// this one in the build tree and in an installed tree alike), which this program becomes. This one
// loads neither the engine nor the serial link, nor the shared C++ library: a conversion starts
// in about half the time, which for a file of a few megabytes is most of the run.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/process.h"
#include "cli/console.h"
#include "cli/user_files.h"
#include "commands.h"

namespace {

using cordane::kExitOk;
using cordane::kExitUsage;

#ifdef CORDANE_WITH_ENGINE
// Runs the command in the engine program: argv[0] is the command's name. Returns only on failure.
int RunInEngineProgram(int argc, char** argv) {
    std::string program = CORDANE_ENGINE_PROGRAM;
    if (const korvel::base::Expected<std::string> self = korvel::base::CurrentProgram()) {
        program = cordane::tools::Utf8Of(cordane::tools::PathOf(*self).parent_path() /
                                         cordane::tools::PathOf(program));
    }
    std::vector<std::string> arguments{"cordane"};
    arguments.insert(arguments.end(), argv, argv + argc);
    const korvel::base::Error error = korvel::base::RunInstead(program, arguments);
    std::fprintf(stderr,
                 "cordane: cannot run %s, which carries out \"cordane %s\": %s; install cordane "
                 "again\n",
                 program.c_str(), argv[0],
                 (error.detail.empty() ? error.message : error.detail).c_str());
    return cordane::kExitBadInput;
}
#endif

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* summary;
};

constexpr Command kCommands[] = {
    {"convert", cordane::tools::RunConvert,
     "turn an S-record file into the memory image the engine would send"},
#ifdef CORDANE_WITH_ENGINE
    {"download", RunInEngineProgram, "download an application into a reader"},
    {"detect", RunInEngineProgram, "find out which large reader is attached to a port"},
    {"log", RunInEngineProgram, "list the jobs of the job log, or count them"},
#endif
    {"info", cordane::tools::RunInfo, "show what a download would see in a file"},
    {"ports", cordane::tools::RunPorts, "list the ports through which a reader can be reached"},
    {"encipher", cordane::tools::RunEncipher,
     "encipher a binary download file's enciphered region"},
    {"decipher", cordane::tools::RunDecipher,
     "decipher a binary download file's enciphered region"},
    {"seal", cordane::tools::RunSeal, "write or check the seal of an options file"},
    {"extract", cordane::tools::RunExtract,
     "cut one reader's flash image out of a global file (.glo)"},
    {"mkglo", cordane::tools::RunMkglo, "build a global file (.glo) from components"},
};

void PrintUsage(FILE* out) {
    std::fputs(
        "usage: cordane COMMAND [ARGS...]\n"
        "       cordane help COMMAND | --help | --version\n"
        "\n"
        "Commands:\n",
        out);
    for (const Command& command : kCommands) {
        std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
    }
    std::fputs(
        "\n"
        "Run \"cordane COMMAND --help\" for a command's options and exit codes.\n",
        out);
}

const Command* FindCommand(const char* name) {
    for (const Command& command : kCommands) {
        if (std::strcmp(command.name, name) == 0) return &command;
    }
    return nullptr;
}

int UnknownCommand(const char* name) {
    std::fprintf(stderr,
                 "cordane: unknown command \"%s\"; run \"cordane --help\" for the list of "
                 "commands\n",
                 name);
    return kExitUsage;
}

int Main(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    const char* first = argv[1];
    if (std::strcmp(first, "--help") == 0 || std::strcmp(first, "-h") == 0) {
        PrintUsage(stdout);
        return kExitOk;
    }
    if (std::strcmp(first, "--version") == 0) {
        std::printf("cordane %s\n", CORDANE_VERSION);
        return kExitOk;
    }
    if (std::strcmp(first, "help") == 0) {
        if (argc < 3) {
            PrintUsage(stdout);
            return kExitOk;
        }
        const Command* command = FindCommand(argv[2]);
        if (command == nullptr) return UnknownCommand(argv[2]);
        char help[] = "--help";
        char* helpArgs[] = {argv[2], help, nullptr};
        return command->run(2, helpArgs);
    }
    const Command* command = FindCommand(first);
    if (command == nullptr) return UnknownCommand(first);
#ifdef CORDANE_WITH_ENGINE
    // The engine program readies the console for itself.
    if (command->run != RunInEngineProgram) cordane::tools::PrepareConsole();
#else
    cordane::tools::PrepareConsole();
#endif
    return command->run(argc - 1, argv + 1);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments = cordane::tools::Utf8Arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return Main(static_cast<int>(arguments.size()), pointers.data());
}
