// Fuzz target for Brenmark's command line. The input is the joined command line; the parser must
// answer without crashing and keep its promises: a kit directory of 255 characters at most that
// holds no double quote, a port only from a serial port key, a known run mode. The same input as
// a whole Windows command line gives arguments that are the line's own end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "brenmark/command_line.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const std::string arguments = brenmark::ArgumentsOfCommandLine(line);
    Require(arguments.size() <= line.size() &&
            line.compare(line.size() - arguments.size(), arguments.size(), arguments) == 0);
    Require(arguments.empty() || static_cast<unsigned char>(arguments[0]) > ' ');
    const brenmark::CommandLine parsed = brenmark::ParseCommandLine(line);
    Require(parsed.kitDirectory.size() <= brenmark::kMaxKitDirectory);
    Require(parsed.kitDirectory.find('"') == std::string::npos);
    Require(parsed.runMode == brenmark::kRunAutomatic ||
            parsed.runMode == brenmark::kRunInteractive);
    if (parsed.serialPort != 0) {
        Require((parsed.serialPort & 0x7FFFFFFFu) <= 999);
        Require(line.size() >= 12 && line.size() <= 21);
    }
    return 0;
}
