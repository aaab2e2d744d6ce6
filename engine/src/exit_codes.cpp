#include "cordane/exit_codes.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace cordane {

namespace {

constexpr std::array<ExitCodeFacts, 9> kExitCodes{{
    {kExitOk, "completed", nullptr, nullptr},
    {kExitBadInput, "file or port refused", nullptr, "check the file or the port named above"},
    {kExitUsage, "bad command line", nullptr, "see the command's --help for its usage"},
    {kExitOpenFailed, "session not opened", "Error opening download session.",
     "check that the reader is connected and powered"},
    {kExitCommunication, "communication error", "Communication error.",
     "check the reader type, the cable and the adapter, and download again"},
    {kExitNoResponse, "no response", "No response from the reader.",
     "check that the reader is connected and powered, then download again"},
    {kExitCancelled, "cancelled", "Download cancelled.",
     "the reader holds no valid application until a download completes"},
    {kExitJobKilled, "ended by signal", nullptr,
     "no fault of the reader's; the reader may hold no valid application until a download to it "
     "completes",
     true},
    {kExitInterrupted, "quit at once", nullptr,
     "the reader may hold no valid application until a download to it completes"},
}};

// The short name of a signal ("KILL"). The C library knows them where it is glibc; elsewhere
// (Windows, whose processes base reports as ended by 2, 9 or 15) the numbers every POSIX system
// shares name them.
const char* SignalAbbreviation(int signal) {
#if defined(__GLIBC__)
    return ::sigabbrev_np(signal);
#else
    struct Named {
        int signal;
        const char* name;
    };
    static constexpr Named kShared[] = {{1, "HUP"},  {2, "INT"},   {3, "QUIT"}, {6, "ABRT"},
                                        {9, "KILL"}, {14, "ALRM"}, {15, "TERM"}};
    for (const Named& named : kShared) {
        if (named.signal == signal) return named.name;
    }
    return nullptr;
#endif
}

}  // namespace

std::span<const ExitCodeFacts> ExitCodes() {
    return kExitCodes;
}

const ExitCodeFacts* FactsOfExitCode(int code) {
    for (const ExitCodeFacts& facts : kExitCodes) {
        if (facts.code == code) return &facts;
    }
    return nullptr;
}

std::string ResultText(int code, int signal) {
    const ExitCodeFacts* facts = FactsOfExitCode(code);
    if (facts != nullptr && !facts->needsSignal) return facts->result;
    if (facts != nullptr && signal > 0) {
        const char* name = SignalAbbreviation(signal);
        return std::string(facts->result) + " " + std::to_string(signal) +
               (name != nullptr ? std::string(" (SIG") + name + ")" : std::string());
    }
    char text[48];
    std::snprintf(text, sizeof text, "loader error %d (0x%02X)", code, static_cast<unsigned>(code));
    return text;
}

}  // namespace cordane
