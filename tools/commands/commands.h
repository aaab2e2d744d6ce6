// Subcommands of the cordane program. Each one takes its own argument list (argv[0] is the
// subcommand's name), prints its own messages and returns the process exit code.
#ifndef CORDANE_TOOLS_COMMANDS_H
#define CORDANE_TOOLS_COMMANDS_H

#include "cordane/exit_codes.h"  // the exit codes every subcommand ends with

namespace cordane::tools {

// cordane convert [--window LO:HI] [--capacity N] INPUT.sre OUTPUT.bin
int RunConvert(int argc, char** argv);

// cordane download --port PORT --reader N [options] APPFILE, or --port PORT [--reader N] FILE.glo
int RunDownload(int argc, char** argv);

// cordane detect --port PORT [--json] [--debug-file PATH] [--timing]
int RunDetect(int argc, char** argv);

// cordane log [--log TARGET] [--since TIME] [--port P] [--failed] [--stats] [--json|--csv]
int RunLog(int argc, char** argv);

// cordane info FILE [--enciphered] [--key-selector N | --key HEX16] [--json]
int RunInfo(int argc, char** argv);

// cordane ports [--json]
int RunPorts(int argc, char** argv);

// cordane encipher|decipher (--key-selector 0|1 | --key HEX16) IN.bin OUT.bin
int RunEncipher(int argc, char** argv);
int RunDecipher(int argc, char** argv);

// cordane seal [--check] FILE
int RunSeal(int argc, char** argv);

// cordane extract --reader N FILE.glo [-o OUT]
int RunExtract(int argc, char** argv);

// cordane mkglo [--long-form] -o OUT.glo COMPONENT...
int RunMkglo(int argc, char** argv);

// cordane info FILE.glo [--json]: the components of a Binary Global File.
int ShowGlobalFile(const char* path, bool json);

}  // namespace cordane::tools

#endif
