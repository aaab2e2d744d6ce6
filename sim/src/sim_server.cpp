#include "sim_server.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/hex.h"
#include "base/replace_file.h"
#include "zr318/ports.h"

namespace korvel::sim {
namespace {

using namespace std::chrono_literals;

constexpr auto kPollPause = 100ms;  // pause before polling a master that reported hang-up
constexpr auto kStopGrace = 2s;     // --once: longest wait for the host to read the answers
constexpr auto kStopCheck = 5ms;    // --once: how often to look whether it has
// The kernel hands bytes written to the master on to the slave's input queue a moment later, so
// an empty queue means "read by the host" only some time after the last write.
constexpr auto kHandOver = 50ms;
constexpr size_t kReadChunk = 4096;     // bytes taken from the master per read
constexpr int kReadsPerWake = 16;       // reads per wake-up, so answers are not held back
constexpr size_t kOutLimit = 1u << 20;  // unread answers kept for a host that stopped reading

// Whether a dump can be written at `path` later (replaced whole, through a new file beside it):
// the path is no directory and its directory takes a new file. Checked at the start, so that a run
// whose dump could never be written is refused before a host relies on it.
base::Expected<void> DumpWritable(const std::string& path, const char* option) {
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return base::Error(kExitSetup, "cannot write the flash dump " + path +
                                           ": it is a directory; give a file with " + option);
    }
    std::string probe = path + ".XXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) {
        return base::Error(kExitSetup, "cannot write the flash dump " + path + ": " +
                                           std::strerror(errno) + "; give a writable path with " +
                                           option);
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return {};
}

timespec ToTimespec(std::chrono::nanoseconds span) {
    if (span < 0ns) span = 0ns;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
    return {static_cast<time_t>(seconds.count()), static_cast<long>((span - seconds).count())};
}

}  // namespace

SimServer::SimServer(SimOptions options, const ReaderLayout& layout)
    : options_(std::move(options)),
      layout_(layout),
      reader_(layout, options_.loader, options_.faults, options_.appNumber, options_.identity,
              options_.failOpens),
      timing_(options_.delayMs, options_.baud, options_.latencyMs) {
    reader_.SetObserver(this);
}

SimServer::~SimServer() {
    reader_.SetObserver(nullptr);
}

base::Expected<void> SimServer::OpenPort() {
    KORVEL_ASSIGN_OR_RETURN(pty_, PtyPort::Open());
    return entry_->Point(pty_->Device());
}

void SimServer::Say(const std::string& text) const {
    std::fprintf(stderr, "korvel-sim: %s%s\n", prefix_.c_str(), text.c_str());
}

base::Expected<void> SimServer::Prepare() {
    if (!options_.dumpPath.empty()) KORVEL_TRY(DumpWritable(options_.dumpPath, "--dump"));
    if (!options_.dataDumpPath.empty()) {
        KORVEL_TRY(DumpWritable(options_.dataDumpPath, "--dump-data"));
    }
    if (!options_.transcriptPath.empty()) {
        transcript_.reset(std::fopen(options_.transcriptPath.c_str(), "w"));
        if (!transcript_) {
            return base::Error(
                kExitSetup, "cannot write the transcript " + options_.transcriptPath + ": " +
                                std::strerror(errno) + "; give a writable path with --transcript");
        }
    }
    const std::string directory =
        options_.portsDir.empty() ? ports::PortsDirectory() : options_.portsDir;
    base::Expected<std::unique_ptr<PortEntry>> entry =
        PortEntry::Claim(directory, ports::EntryName(options_.port));
    if (!entry) return std::move(entry).error().WithCode(kExitSetup);
    entry_ = std::move(*entry);
    // The entry appears only now that the port is ready to answer.
    base::Expected<void> opened = OpenPort();
    if (!opened) return std::move(opened).error().WithCode(kExitSetup);
    return {};
}

int SimServer::Run(base::Interrupts& interrupts) {
    stop_.emplace(interrupts);
    interrupts_ = &interrupts;
    const base::Expected<void> prepared = Prepare();
    if (!prepared) {
        Say(prepared.error().message);
        return prepared.error().code;
    }
    Announce();
    return Finish();
}

void SimServer::Announce() {
    std::printf("ready %s %s\n", entry_->Path().c_str(), pty_->Device().c_str());
    std::fflush(stdout);
    const std::string loader = layout_.reader->large ? std::string("large reader's addressed")
                                                     : std::string(LoaderName(options_.loader));
    Say(std::string("serving a ") + layout_.reader->name + " with the " + loader + " loader on " +
        entry_->Path() + " -> " + pty_->Device());
}

int SimServer::Finish() {
    const bool served = Serve();
    reader_.Exit();
    const bool dumped = WriteDump();
    FlushTranscript();
    if (!served) return kExitSetup;
    if (!dumped) return kExitNoDump;
    if (!options_.once) return kExitSigned;
    return reader_.Flash().Signed() ? kExitSigned : kExitUnsigned;
}

bool SimServer::Serve() {
    for (;;) {
        Clock::time_point now = Clock::now();
        ReleaseDue(now);
        WriteOut(now);
        if (stopping_ && (Drained(now) || now >= stopBy_)) return true;

        std::chrono::nanoseconds wait = std::chrono::nanoseconds::max();
        if (!pending_.empty())
            wait = std::min<std::chrono::nanoseconds>(wait, pending_.front().due - now);
        const bool paused = now < pollPausedUntil_;
        if (paused) wait = std::min<std::chrono::nanoseconds>(wait, pollPausedUntil_ - now);
        if (stopping_) wait = std::min<std::chrono::nanoseconds>(wait, kStopCheck);
        FlushTranscript();

        pollfd fds[3] = {};
        fds[0].fd = pty_ && !paused ? pty_->Master() : -1;  // -1: not polled
        fds[0].events = static_cast<short>(POLLIN | (outAt_ < out_.size() ? POLLOUT : 0));
        fds[1].fd = pty_ ? pty_->Watch() : -1;
        fds[1].events = POLLIN;
        fds[2].fd = static_cast<int>(stop_->Native());
        fds[2].events = POLLIN;
        const timespec timeout = ToTimespec(wait);
        const int ready =
            ppoll(fds, 3, wait == std::chrono::nanoseconds::max() ? nullptr : &timeout, nullptr);
        if (ready < 0) {
            if (errno == EINTR) continue;
            Say(std::string("waiting for the line failed: ") + std::strerror(errno));
            return false;
        }
        now = Clock::now();
        if (fds[2].revents & POLLIN) {
            // Served alone, the signal is named here; in a station, the station's owner heard it.
            base::Interrupt last;
            if (interrupts_ != nullptr && interrupts_->Take(&last) > 0) {
                Say(std::string("stopping on ") + base::DescribeInterrupt(last));
            }
            return true;
        }
        // Hosts coming and going first: a host's first bytes never meet a flush meant for the last.
        if (pty_ && (fds[1].revents & POLLIN) && pty_->ReadWatch() == PtyPort::HostChange::Left) {
            HostLeft();
        }
        if (pty_ && fds[0].fd >= 0) {
            if (fds[0].revents & POLLIN) {
                ReadFromHost(now);
                // An injected hang-up closed the port: a new one takes the port's entry.
                if (!pty_ && !stopping_ && !ReopenPort()) return false;
            } else if (fds[0].revents & (POLLHUP | POLLERR)) {
                PausePolling(now);
            }
        }
    }
}

void SimServer::ReadFromHost(Clock::time_point now) {
    uint8_t buffer[kReadChunk];
    for (int round = 0; round < kReadsPerWake && pty_; ++round) {
        const ssize_t got = ::read(pty_->Master(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (got <= 0) {  // EIO: no slave side for the moment
            PausePolling(now);
            return;
        }
        timing_.Received(static_cast<size_t>(got), now);
        // Fed in slices no larger than a frame, so the decoder never has to evict bytes.
        for (ssize_t at = 0; at < got && pty_;) {
            const size_t slice = std::min<size_t>(wire::kMaxFrame, static_cast<size_t>(got - at));
            decoder_.Feed(buffer + at, slice);
            at += static_cast<ssize_t>(slice);
            wire::Frame frame;
            while (pty_ && decoder_.Next(frame)) TakeFrame(frame, now);
        }
        // A short read emptied the port; asking again would only cost a system call.
        if (static_cast<size_t>(got) < sizeof buffer) return;
    }
}

void SimServer::TakeFrame(const wire::Frame& frame, Clock::time_point now) {
    if (stopping_) return;  // --once: the session is over; the rest goes unanswered
    Reply reply = reader_.Take(frame);
    if (reply.hangUp) {
        // Closing the master hangs up the slave: the host's reads end and its polls report
        // POLLHUP, which its link takes as a device failure.
        Say("hanging up " + pty_->Device() + " (fault injected)");
        pty_.reset();
        decoder_.Clear();
        pending_.clear();
        out_.clear();
        outAt_ = 0;
        return;
    }
    if (!reply.bytes.empty()) Queue(std::move(reply.bytes), reply.loaderAnswer, now);
}

bool SimServer::ReopenPort() {
    const base::Expected<void> opened = OpenPort();
    if (!opened) {
        Say(opened.error().message);
        return false;
    }
    Say("line re-created: " + entry_->Path() + " -> " + pty_->Device());
    return true;
}

void SimServer::Queue(std::vector<uint8_t> bytes, bool loaderAnswer, Clock::time_point now) {
    if (timing_.Immediate() && pending_.empty()) {
        out_.insert(out_.end(), bytes.begin(), bytes.end());
        return;
    }
    Clock::time_point due = timing_.Due(bytes.size(), loaderAnswer, now);
    if (!pending_.empty()) due = std::max(due, pending_.back().due);
    pending_.push_back({due, std::move(bytes)});
}

void SimServer::ReleaseDue(Clock::time_point now) {
    while (!pending_.empty() && pending_.front().due <= now) {
        out_.insert(out_.end(), pending_.front().bytes.begin(), pending_.front().bytes.end());
        pending_.pop_front();
    }
}

void SimServer::WriteOut(Clock::time_point now) {
    while (pty_ && outAt_ < out_.size()) {
        const ssize_t put = ::write(pty_->Master(), out_.data() + outAt_, out_.size() - outAt_);
        if (put > 0) {
            outAt_ += static_cast<size_t>(put);
            lastWrite_ = now;
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) PausePolling(now);
        break;
    }
    if (outAt_ == out_.size()) {
        out_.clear();
        outAt_ = 0;
    } else if (out_.size() - outAt_ > kOutLimit) {
        Say("the host stopped reading; " + std::to_string(out_.size() - outAt_) +
            " bytes of answers thrown away");
        out_.clear();
        outAt_ = 0;
    }
}

void SimServer::HostLeft() {
    // Whatever was meant for the host that left must not reach the next one.
    decoder_.Clear();
    pending_.clear();
    out_.clear();
    outAt_ = 0;
    pty_->ForgetHost();
    reader_.HostClosed();
}

void SimServer::PausePolling(Clock::time_point now) {
    pollPausedUntil_ = now + kPollPause;
}

bool SimServer::Drained(Clock::time_point now) const {
    if (!pty_) return true;
    if (outAt_ < out_.size() || !pending_.empty()) return false;
    if (pty_->Hosts() == 0) return true;
    return now - lastWrite_ >= kHandOver && pty_->Unread() == 0;
}

void SimServer::OnFrame(const TranscriptEntry& entry) {
    // Refusals and injected faults are worth a line even without a transcript.
    if (!entry.detail.empty()) {
        std::string where = "session " + std::to_string(entry.session);
        if (entry.index > 0) where += " frame " + std::to_string(entry.index);
        where += " (" + entry.kind;
        if (entry.address) {
            where += ' ';
            where += base::HexNumber(*entry.address, 4);
        }
        where += ")";
        if (entry.answer) {
            char code[16];
            std::snprintf(code, sizeof code, " answered 0x%02X", *entry.answer);
            where += code;
        }
        Say(where + ": " + entry.detail);
    }
    if (!transcript_ || transcriptFailed_) return;
    const std::string text = TranscriptLine(entry) + "\n";
    if (std::fputs(text.c_str(), transcript_.get()) < 0) {
        transcriptFailed_ = true;
        Say("cannot write the transcript " + options_.transcriptPath + ": " + std::strerror(errno) +
            "; it ends here");
    }
    transcriptDirty_ = true;
}

void SimServer::FlushTranscript() {
    if (!transcriptDirty_ || !transcript_) return;
    transcriptDirty_ = false;
    if (std::fflush(transcript_.get()) != 0 && !transcriptFailed_) {
        transcriptFailed_ = true;
        Say("cannot write the transcript " + options_.transcriptPath + ": " + std::strerror(errno) +
            "; it ends here");
    }
}

void SimServer::OnSessionEnd(SessionEnd why) {
    Say("session " + std::to_string(reader_.Session()) + " ended (" + SessionEndName(why) + "); " +
        (reader_.Flash().Signed() ? "the flash holds a signed image"
                                  : "the flash holds no signed image"));
    if (why != SessionEnd::Exit) WriteDump();
    if (!options_.once || stopping_) return;
    // Reader detection writes nothing: a download usually follows it, and --once waits for it.
    if (reader_.DetectionSession()) {
        Say("--once: that was reader detection; waiting for a session that downloads");
        return;
    }
    stopping_ = true;
    stopBy_ = Clock::now() + kStopGrace;
}

bool SimServer::WriteDump() {
    // Both dumps are tried; each failure is said.
    auto said = [this](const base::Expected<void>& written) {
        if (!written) Say(written.error().message);
        return written.has_value();
    };
    bool good = true;
    if (!options_.dumpPath.empty()) {
        good = said(WriteImage(options_.dumpPath, reader_.Flash().Dump(), "--dump")) && good;
    }
    if (!options_.dataDumpPath.empty()) {
        good =
            said(WriteImage(options_.dataDumpPath, reader_.Flash().Data(), "--dump-data")) && good;
    }
    return good;
}

base::Expected<void> SimServer::WriteImage(const std::string& path,
                                           const std::vector<uint8_t>& image, const char* option) {
    // Replaced whole, so that a reader of the dump never sees half of it.
    const base::Expected<void> written = base::ReplaceWholeFile(path, image);
    if (!written) {
        const base::Error& error = written.error();
        return base::Error(kExitNoDump, "cannot write the flash dump " + path + ": " +
                                            (error.detail.empty() ? error.message : error.detail) +
                                            "; give a writable path with " + option);
    }
    return {};
}

}  // namespace korvel::sim
