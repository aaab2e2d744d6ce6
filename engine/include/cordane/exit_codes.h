// The exit codes a download job or a command ends with, each once: its name, the short text of
// the outcome (for tables, counts and the job log), the engine's message when it has one of its
// own, and what to do next. The engine's statuses are these codes; a job's exit code that is not in
// the table is the reader loader's own error code (the first byte of its refusal).
#ifndef CORDANE_EXIT_CODES_H
#define CORDANE_EXIT_CODES_H

#include <span>
#include <string>

namespace cordane {

inline constexpr int kExitOk = 0;             // the job or command succeeded
inline constexpr int kExitBadInput = 1;       // a file or a port refused, or an output not written
inline constexpr int kExitUsage = 2;          // a bad command line
inline constexpr int kExitOpenFailed = 3;     // the download session could not be opened
inline constexpr int kExitCommunication = 4;  // a frame could not be sent or its answer fetched
inline constexpr int kExitNoResponse = 5;     // the reader did not answer in the time-out
inline constexpr int kExitCancelled = 6;      // the client cancelled the job
// Several ports: a port's own process was ended by a signal (killed, or crashed) before it could
// say how its download ended. Not a status of the engine's, and not 128 + N, which would read as
// a loader's error code.
inline constexpr int kExitJobKilled = 125;
inline constexpr int kExitInterrupted = 130;  // quit at once: 128 + SIGINT, as shells report it

struct ExitCodeFacts {
    int code;
    const char* result;   // the outcome in a few words: "communication error"
    const char* message;  // the engine's message box for it; null: "Download error."
    const char* hint;     // what to do next; null when there is nothing to do
    // kExitJobKilled: the text needs the signal that ended the job's process; without one, the
    // code reads as a loader's own error code.
    bool needsSignal = false;
};

// Every code of the table, in increasing order.
std::span<const ExitCodeFacts> ExitCodes();

// The facts of `code`, or null for a loader's own error code.
const ExitCodeFacts* FactsOfExitCode(int code);

// The outcome in a few words: "completed", "communication error", "loader error 35 (0x23)"; for
// kExitJobKilled with the signal that ended the job's process, "ended by signal 9 (SIGKILL)".
std::string ResultText(int code, int signal = 0);

}  // namespace cordane

#endif
