// make-srec: writes an S-record file of made-up program bytes, for the bundled sample, the tests
// and the benchmarks. The same options always give the same file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "srec_text.h"

namespace {

constexpr char kUsage[] =
    "usage: make-srec [options] [OUTPUT.sre]\n"
    "Writes S0, S2 records of made-up program bytes without gaps, and S8, to OUTPUT (default:\n"
    "standard output).\n"
    "  --bytes N     data bytes (default 7168)\n"
    "  --text N      instead of --bytes: as many whole records as fit N characters of text\n"
    "  --start A     address of the first data byte (default 0x2000)\n"
    "  --record N    data bytes per S2 record, 1 to 251 (default 32)\n"
    "  --seed N      generator seed (default: fixed)\n"
    "  --header S    S0 record text, at most 252 characters (default \"demo64\")\n"
    "  --crlf        CR LF line ends (default LF)\n"
    "Numbers are decimal or hexadecimal with 0x.\n";

bool ParseNumber(const char* text, unsigned long long max, unsigned long long& value) {
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+') return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoull(text, &end, 0);
    return errno == 0 && *end == '\0' && value <= max;
}

int Usage(const char* problem) {
    std::fprintf(stderr, "make-srec: %s\n%s", problem, kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    korvel::SrecTextOptions options;
    unsigned long long bytes = 7168;
    unsigned long long text = 0;
    unsigned long long seed = options.seed;
    const char* output = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long long number = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--crlf") {
            options.crlf = true;
        } else if (arg == "--header" && value != nullptr && std::strlen(value) <= 252) {
            options.header = value;
            ++i;
        } else if (arg == "--bytes" && ParseNumber(value, 0x1000000, number)) {
            bytes = number;
            ++i;
        } else if (arg == "--text" && ParseNumber(value, 1ULL << 32, number)) {
            text = number;
            ++i;
        } else if (arg == "--start" && ParseNumber(value, 0xFFFFFF, number)) {
            options.start = static_cast<uint32_t>(number);
            ++i;
        } else if (arg == "--record" && ParseNumber(value, 251, number) && number > 0) {
            options.recordData = number;
            ++i;
        } else if (arg == "--seed" && ParseNumber(value, ~0ULL, number)) {
            seed = number;
            ++i;
        } else if (arg[0] != '-' && output == nullptr) {
            output = argv[i];
        } else {
            return Usage(("bad or unknown option: " + arg).c_str());
        }
    }
    if (text != 0) bytes = korvel::DataBytesForText(text, options);
    if (options.start + bytes > 0x1000000) {
        return Usage("the data would run past address 0xFFFFFF; lower --start or --bytes");
    }

    const std::string srec = korvel::MakeSrecText(korvel::MakeCodeBytes(bytes, seed), options);
    FILE* out = output != nullptr ? std::fopen(output, "wb") : stdout;
    if (out == nullptr) {
        std::fprintf(stderr, "make-srec: cannot create %s: %s\n", output, std::strerror(errno));
        return 1;
    }
    const bool written = std::fwrite(srec.data(), 1, srec.size(), out) == srec.size();
    const bool closed = output != nullptr ? std::fclose(out) == 0 : std::fflush(out) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "make-srec: cannot write %s: %s\n", output ? output : "output",
                     std::strerror(errno));
        return 1;
    }
    return 0;
}
