// The emulator program's event loop: one pseudo-terminal port, the reader model behind it, the
// port entry, the transcript and the dump. Single-threaded; waits in ppoll and never spins. A
// station of readers (--line) runs one such loop per reader, each on a thread of its own.
#ifndef KORVEL_SIM_SERVER_H
#define KORVEL_SIM_SERVER_H

#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/interrupts.h"
#include "base/wait.h"
#include "port_entry.h"
#include "pty_port.h"
#include "sim/answer_timing.h"
#include "sim/reader_model.h"
#include "sim/sim_options.h"
#include "zr318/wire.h"

namespace korvel::sim {

// The exit codes are the command line's (sim/sim_options.h).

// Serves a station of readers (--line), one thread each, until `interrupts` bring a stop signal
// or, with --once, until every session is over; the exit code.
int RunStation(std::vector<SimOptions> readers, base::Interrupts& interrupts);

class SimServer final : public ReaderObserver {
  public:
    SimServer(SimOptions options, const ReaderLayout& layout);
    ~SimServer() override;

    // Sets everything up, prints the ready line, serves until `interrupts` bring a stop signal
    // (named in the log); returns the exit code.
    int Run(base::Interrupts& interrupts);

    // The same in steps, for a station of readers served by one thread each: the server stops once
    // `stop` is ready (it never lowers it, so one wake-up stops every server). `prefix` starts its
    // messages.
    void ServeAsPartOfStation(base::Waitable stop, std::string prefix) {
        stop_.emplace(stop);
        prefix_ = std::move(prefix);
    }
    // The port, the entry, the transcript; a failure's code is kExitSetup.
    base::Expected<void> Prepare();
    void Announce();  // the ready line on standard output
    int Finish();     // serves until stopped; the exit code

  private:
    using Clock = SimClock;

    struct Pending {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
    };

    void Say(const std::string& text) const;
    base::Expected<void> OpenPort();
    bool Serve();  // false on a fatal error
    void ReadFromHost(Clock::time_point now);
    void TakeFrame(const wire::Frame& frame, Clock::time_point now);
    void Queue(std::vector<uint8_t> bytes, bool loaderAnswer, Clock::time_point now);
    void ReleaseDue(Clock::time_point now);
    void WriteOut(Clock::time_point now);
    // A new port after an injected hang-up closed the last one; the port's entry leads to it.
    bool ReopenPort();
    void HostLeft();
    // The master reported a hang-up or failed: it is not polled again for a short while.
    void PausePolling(Clock::time_point now);
    bool Drained(Clock::time_point now) const;  // --once: all answers are out and read
    // The code flash to --dump, the data flash to --dump-data, each failure said; false on one.
    bool WriteDump();
    // One dump replaced whole; a failure's code is kExitNoDump.
    static base::Expected<void> WriteImage(const std::string& path,
                                           const std::vector<uint8_t>& image, const char* option);
    void FlushTranscript();

    void OnFrame(const TranscriptEntry& entry) override;
    void OnSessionEnd(SessionEnd why) override;

    SimOptions options_;
    const ReaderLayout& layout_;
    ReaderModel reader_;
    wire::Decoder decoder_;
    std::unique_ptr<PortEntry> entry_;
    std::unique_ptr<PtyPort> pty_;
    std::optional<base::Waitable> stop_;      // serving ends once it is ready
    base::Interrupts* interrupts_ = nullptr;  // served alone: the stop signals, to name them
    std::string prefix_;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> transcript_{nullptr, &std::fclose};
    bool transcriptDirty_ = false;
    bool transcriptFailed_ = false;

    std::vector<uint8_t> out_;     // bytes for the host, written as the port takes them
    size_t outAt_ = 0;             // first unwritten byte of out_
    std::deque<Pending> pending_;  // answers held back by --delay, --baud or --latency
    AnswerTiming timing_;
    Clock::time_point pollPausedUntil_{};  // the master hung up: do not poll it before this
    Clock::time_point lastWrite_{};        // when bytes last went to the master

    bool stopping_ = false;  // --once: the session ended; exit once the answers are out
    Clock::time_point stopBy_{};
};

}  // namespace korvel::sim

#endif
