// cordane download: runs one download job through the engine and shows its progress, on a
// terminal as a live bar, in a log as plain lines, or for scripts as JSON lines.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "cipher.h"
#include "commands.h"
#include "cordane/cordane.h"
#include "download_options.h"
#include "job_settings.h"
#include "large_layout.h"
#include "ports.h"
#include "progress.h"
#include "srec.h"
#include "tool_support.h"

namespace cordane::tools {

namespace {

// Exit codes of a download, besides kExitOk, kExitBadInput (a file error or a refused port) and
// kExitUsage; any other value is the loader's own error code.
constexpr int kExitOpenFailed = 3;
constexpr int kExitCommunication = 4;
constexpr int kExitNoResponse = 5;
constexpr int kExitCancelled = 6;
constexpr int kExitInterrupted = 130;  // a second Ctrl-C: 128 + SIGINT, as shells report it

// The key selector that --key is registered under when --key-selector does not name one; any
// selector but 0 and 1 (the built-in keys) would do.
constexpr uint32_t kToolKeySelector = 0x434F5244;  // "CORD"
constexpr size_t kSmallReaderTextLimit = 0x40000;  // what the engine reads of the file
constexpr size_t kEngineImageCapacity = 0x7FFFF;   // its image buffer, less the leading 0 byte
constexpr int kIdleMilliseconds = 100;             // refresh of the bar and its estimate

constexpr char kHelp[] =
    "usage: cordane download --port PORT --reader N [--type T] [--driver FILE] [--erase-data]\n"
    "                        [--ask] [--silent] [--json] [--yes|--no]\n"
    "                        [--key-selector N] [--key HEX16] [--identity X]\n"
    "                        [--check-app-number N --previous A,B] APPFILE\n"
    "\n"
    "Downloads APPFILE (and, for the large readers, the driver library) into the flash of the\n"
    "reader on PORT.\n"
    "\n"
    "  --port PORT       COM1..COM256, KORVEL00..KORVEL98, or a device path such as\n"
    "                    /dev/ttyUSB0 (\"cordane ports\" lists the ports that can be opened)\n"
    "  --reader N        reader type: 0 KvTal (64 Kb), 1 KvOrb (64 Kb), 2 KvOrb (512Kb),\n"
    "                    3 KvTal (512 Kb), 4 KvQuin3, 5 KvOrb1Mb, 6 KvTal (1Mb), 7 KvTalModem,\n"
    "                    8 and 9 the readers found by detection\n"
    "  --type T          0 normal download (default), 1 automatic binary loading, 2 binary\n"
    "                    loading, 3 erase the code only (large readers; no APPFILE needed)\n"
    "  --driver FILE     the driver library: needed by the large readers' type 0, and taken\n"
    "                    there only\n"
    "  --erase-data      erase the reader's data flash as well (large readers)\n"
    "  --ask             ask before erasing the data flash (answered by --yes or --no)\n"
    "  --silent          the engine shows no error messages; the exit code tells the outcome\n"
    "  --json            one JSON object per event on standard output (below)\n"
    "  --yes, --no       the answer to the engine's questions (default --no)\n"
    "\n"
    "Checks and key of an enciphered image. These act only in download type 1 (--type 1) on the\n"
    "large readers (--reader 2 to 9); elsewhere they are ignored, with a note:\n"
    "  --key-selector N  the base key that deciphers APPFILE: 0 base key A (default), 1 base\n"
    "                    key B, or the selector under which --key registers its key\n"
    "  --key HEX16       an 8-byte base key as 16 hexadecimal digits, registered for this job\n"
    "                    under --key-selector N (2 or more) or a selector of this program's own\n"
    "  --identity X      check the file's 16-bit identity (at offset 0xA042) before anything is\n"
    "                    erased: X in decimal or 0x hexadecimal; another identity ends the\n"
    "                    download with exit code 1\n"
    "  --check-app-number N --previous A,B\n"
    "                    check that the file's application number (offset 0xA013) is N, then\n"
    "                    let the reader judge the change from its previous numbers A and B;\n"
    "                    N, A and B are 0 to 999. A wrong number ends the download with exit\n"
    "                    code 4, a refusal by the reader with the reader's error code\n"
    "\n"
    "On a terminal the progress is a bar with the bytes sent and the time left; otherwise plain\n"
    "lines. Ctrl-C stops the download after the current block and resets the reader (exit code\n"
    "6); a second Ctrl-C quits at once (exit code 130).\n"
    "\n"
    "--json: one JSON object per line, flushed at once; step and position carry \"bytes\" too\n"
    "when the image size is known:\n"
    "  {\"event\":\"message\",\"text\":T}                    a progress message\n"
    "  {\"event\":\"range\",\"lower\":L,\"upper\":U}           the range of the bar\n"
    "  {\"event\":\"step-size\",\"step\":S}                  the step of the bar\n"
    "  {\"event\":\"step\",\"position\":P,\"percent\":N}       the bar moved one step\n"
    "  {\"event\":\"position\",\"position\":P,\"percent\":N}   the bar was set\n"
    "  {\"event\":\"notice\",\"code\":C,\"text\":T}            3 started (\"1000\"), 0 succeeded,\n"
    "                                                  1 over (text null)\n"
    "  {\"event\":\"completion\",\"text\":T,\"code\":C}        \"Download completed\" 0, or\n"
    "                                                  \"Download Error\" 1\n"
    "  {\"event\":\"messagebox\",\"caption\":T,\"text\":T,     a message of the engine; "
    "\"answer\"\n"
    "   \"question\":false}                              \"yes\"/\"no\" for a question\n"
    "  {\"event\":\"output\",\"text\":T}                     what the engine wrote to its output\n"
    "  {\"event\":\"cancelling\"}                          Ctrl-C was pressed\n"
    "  {\"event\":\"error\",\"text\":T}                      refused before the download began\n"
    "  {\"event\":\"exit\",\"code\":N}                       the last line: the exit code\n"
    "\n"
    "Exit codes: 0 success; 1 file error or refused port; 2 bad command line; 3 the download\n"
    "session could not be opened; 4 communication error; 5 no response from the reader;\n"
    "6 cancelled; 130 quit at once by a second Ctrl-C; any other value is the error code of the\n"
    "reader's loader.\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr,
                 "cordane download: %s\nusage: cordane download --port PORT --reader N [options] "
                 "APPFILE (\"cordane download --help\" tells more)\n",
                 problem.c_str());
    return kExitUsage;
}

void WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t put = ::write(fd, text.data(), text.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;  // a closed pipe or a full disk: the download goes on regardless
        text.remove_prefix(static_cast<size_t>(put));
    }
}

// A download refused before it starts: the message, and with --json its events as well, so that
// a script reading them still finds the exit code.
int Refuse(bool json, const std::string& message, int code) {
    std::fprintf(stderr, "cordane download: %s\n", message.c_str());
    if (json) {
        JsonWriter error;
        error.BeginObject().Key("event").String("error").Key("text").String(message).EndObject();
        JsonWriter exit;
        exit.BeginObject().Key("event").String("exit").Key("code").Number(code).EndObject();
        std::fputs((error.text() + "\n" + exit.text() + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
    return code;
}

double NowSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int TerminalColumns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

// ---- Command line: DownloadOptions and ParseDownloadOptions (download_options.h)

// The parameter block's options do nothing outside download type 1 on a large reader: said once,
// so that nobody believes a check ran.
void WarnUnusedChecks(const DownloadOptions& options) {
    const bool given =
        options.appNumber || options.identity || options.key.selector || options.key.key;
    const bool used = options.type == KV_DOWNLOAD_AUTO_BINARY && options.reader >= KvOrb512;
    if (given && !used) {
        std::fputs(
            "cordane download: note: --check-app-number, --identity, --key-selector and --key "
            "act only in download type 1 (--type 1) on the large readers (--reader 2 to 9); "
            "they are ignored for this download\n",
            stderr);
    }
}

// The key selector and checks of the job, with the options of the flags word.
JobSettings SettingsOf(const DownloadOptions& options) {
    JobSettings settings;
    settings.downloadType = static_cast<uint32_t>(options.type);
    settings.eraseDataFlash = options.eraseData;
    settings.askQuestion = options.ask;
    settings.silent = options.silent;
    settings.keySelector = options.key.selector.value_or(options.key.key ? kToolKeySelector : 0);
    if (options.appNumber) {
        settings.checkAppNumber = true;
        settings.appNumber = static_cast<uint32_t>(*options.appNumber);
        settings.previousApp1 = static_cast<uint32_t>(options.previous->first);
        settings.previousApp2 = static_cast<uint32_t>(options.previous->second);
    }
    if (options.identity) {
        settings.identityCheck = true;
        settings.expectedIdentity = *options.identity;
    }
    return settings;
}

// Registers --key with the engine for this job.
std::optional<std::string> RegisterEngineKey(uint32_t selector,
                                             const std::array<uint8_t, kBaseKeySize>& key) {
    if (RegisterBaseKey(selector, key.data()) != 0) {
        return "the base key given with --key could not be handed to the download engine (key "
               "selector " +
               std::to_string(selector) + ")";
    }
    return std::nullopt;
}

// Starts the job: the flags word into the job object, the parameter block into the engine, then
// the worker thread. The one way every download starts.
CWinThread* StartJob(CLoadInterface& job, const JobSettings& settings) {
    job.flags = JobFlags(settings);
    ParamBlock block = JobParamBlock(settings);
    UpdateParam(block.data());
    return BeginDownload(&job, false);
}

// ---- The port

struct PortChoice {
    int16_t number = 0;
    bool isVirtual = false;
    std::string text;          // how the user named it
    std::string device;        // what the link will open
    bool throughPath = false;  // a device path, reached through a temporary ports directory
};

// Why a port cannot be used for the download right now; nothing when it can.
std::optional<std::string> PortProblem(const PortChoice& port) {
    const std::string name = port.throughPath ? port.device : port.text + " (" + port.device + ")";
    struct stat info {};
    if (::stat(port.device.c_str(), &info) != 0) {
        return "port " + name +
               " does not exist: plug in the reader's adapter, or run \"cordane ports\" to "
               "list the ports that can be opened now";
    }
    if (!S_ISCHR(info.st_mode)) {
        return "port " + name + " is not a serial device: give the reader's tty device";
    }
    // Find out why it cannot be used, to say what to do about it.
    const UniqueFd probe(::open(port.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    const int error = errno;
    if (probe.get() >= 0 && !::isatty(probe.get())) {
        // /dev/null, say: the link would find out only later, and name its own entry for it.
        return "port " + name +
               " is not a serial device (no terminal settings): give the reader's tty device, "
               "such as /dev/ttyUSB0";
    }
    if (korvel::ports::CanOpenPort(port.device)) return std::nullopt;
    if (probe.get() < 0 && (error == EACCES || error == EPERM)) {
        return "no permission to open port " + name +
               ": add the user to the dialout group (usermod -aG dialout $USER) and log in "
               "again";
    }
    if (probe.get() >= 0 || error == EBUSY) {
        return "port " + name +
               " is held by another program: close that program (or wait for its download to "
               "end) and try again";
    }
    if (error == ENXIO || error == ENODEV || error == ENOENT) {
        return "port " + name +
               " has no device behind it: plug in the reader's adapter, or run \"cordane "
               "ports\" to list the ports that can be opened now";
    }
    return "port " + name + " cannot be opened: " + std::strerror(error);
}

// A ports directory of our own that names a device path as COM1 for the engine, which takes
// only port numbers. Removed when it goes out of scope, and by a watcher process when this one is
// killed outright (SIGKILL gives no chance to clean up). The entry must stay while the job runs:
// the link looks it up again for every reset and for the cancel sequence's own link, and without
// it COM1 would be /dev/ttyS0, another device.
class TemporaryPortsDirectory {
  public:
    TemporaryPortsDirectory() = default;
    ~TemporaryPortsDirectory() {
        RestoreEnvironment();
        RemoveFiles();
        StopWatcher();
    }
    TemporaryPortsDirectory(const TemporaryPortsDirectory&) = delete;
    TemporaryPortsDirectory& operator=(const TemporaryPortsDirectory&) = delete;

    // Creates the directory with an entry for `device` and points the link at it. Call it
    // before any thread starts: the watcher is a forked process.
    bool Create(const std::string& device, std::string& error) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/cordane-port-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            error = "cannot create a temporary ports directory (" + pattern +
                    "): " + std::strerror(errno) + "; set TMPDIR to a writable directory";
            return false;
        }
        directory_ = pattern;
        entry_ = directory_ + "/" + korvel::ports::EntryName(1);
        StartWatcher();
        if (::symlink(device.c_str(), entry_.c_str()) != 0) {
            error = "cannot create the port entry " + entry_ + ": " + std::strerror(errno);
            return false;
        }
        const char* previous = std::getenv("KORVEL_PORTS_DIR");
        if (previous != nullptr) previous_ = previous;
        ::setenv("KORVEL_PORTS_DIR", directory_.c_str(), 1);
        pointed_ = true;
        return true;
    }

    // Gives the link its ports directory back; only once no other thread may read it.
    void RestoreEnvironment() {
        if (!pointed_) return;
        if (previous_) {
            ::setenv("KORVEL_PORTS_DIR", previous_->c_str(), 1);
        } else {
            ::unsetenv("KORVEL_PORTS_DIR");
        }
        pointed_ = false;
    }

    // Removes the entry and the directory.
    void RemoveFiles() {
        if (!entry_.empty()) ::unlink(entry_.c_str());
        if (!directory_.empty()) ::rmdir(directory_.c_str());
        entry_.clear();
        directory_.clear();
    }

  private:
    // The watcher holds the read end of a pipe whose write end only this process holds. The
    // kernel closes that end however this process ends; the read then returns and the watcher
    // removes what is left. It runs in a session of its own, so that a kill of the terminal's
    // process group does not take it along, and does nothing but wait: async-signal-safe calls
    // only, as after any fork. Without a watcher (fork refused) the clean-up on exit remains.
    void StartWatcher() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return;
        UniqueFd readEnd(ends[0]);
        UniqueFd writeEnd(ends[1]);
        const UniqueFd directoryFd(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (directoryFd.get() < 0) return;
        const std::string entryName = korvel::ports::EntryName(1);
        const char* directory = directory_.c_str();
        const char* entry = entryName.c_str();
        const long limit = ::sysconf(_SC_OPEN_MAX);
        const long openMax = limit > 0 ? std::min(limit, 65536L) : 1024L;
        const pid_t pid = ::fork();
        if (pid < 0) return;
        if (pid == 0) {
            ::setsid();
            const int keepRead = readEnd.get();
            const int keepDirectory = directoryFd.get();
            for (int fd = 0; fd < openMax; ++fd) {
                if (fd != keepRead && fd != keepDirectory) ::close(fd);
            }
            char byte;
            while (::read(keepRead, &byte, 1) < 0 && errno == EINTR) {
            }
            ::unlinkat(keepDirectory, entry, 0);
            // The name, only while it still names this directory.
            struct stat named {};
            struct stat held {};
            if (::stat(directory, &named) == 0 && ::fstat(keepDirectory, &held) == 0 &&
                named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
                ::rmdir(directory);
            }
            ::_exit(0);
        }
        watcher_ = pid;
        watcherPipe_ = std::move(writeEnd);
    }

    // Lets the watcher go once the files are removed, and reaps it.
    void StopWatcher() {
        if (watcher_ <= 0) return;
        watcherPipe_.Reset();
        while (::waitpid(watcher_, nullptr, 0) < 0 && errno == EINTR) {
        }
        watcher_ = -1;
    }

    std::string directory_;
    std::string entry_;
    std::optional<std::string> previous_;
    bool pointed_ = false;
    pid_t watcher_ = -1;
    UniqueFd watcherPipe_;
};

// Resolves --port; on a mistake, false with the message and the exit code to use.
bool ChoosePort(const std::string& name, PortChoice& port, std::string& error, int& exitCode) {
    std::string problem;
    const std::optional<korvel::ports::PortSpec> spec =
        korvel::ports::ParsePortName(name, &problem);
    if (!spec) {
        error = problem;
        exitCode = kExitUsage;
        return false;
    }
    port.text = spec->text;
    if (spec->id == 0) {
        port.throughPath = true;
        port.number = 1;
        port.device = spec->device;
    } else {
        port.isVirtual = korvel::ports::IsVirtual(spec->id);
        port.number = static_cast<int16_t>(korvel::ports::PortNumber(spec->id));
        const std::optional<std::string> device = korvel::ports::DevicePath(spec->id, &problem);
        if (!device) {
            error = problem;
            exitCode = kExitBadInput;
            return false;
        }
        port.device = *device;
    }
    if (const std::optional<std::string> refused = PortProblem(port)) {
        error = *refused;
        exitCode = kExitBadInput;
        return false;
    }
    return true;
}

// ---- The image size, for the bytes shown beside the bar

// The size of the image the engine will send to a 64 Kb reader, converted the way the engine
// converts it; 0 when the file cannot be read or converted (the bar then shows percent only, and
// the engine itself reports what is wrong).
uint64_t SmallReaderImageSize(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return 0;
    std::vector<uint8_t> text(kSmallReaderTextLimit);
    size_t length = 0;
    while (length < text.size()) {
        const ssize_t got = ::read(fd.get(), text.data() + length, text.size() - length);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return 0;
        if (got == 0) break;
        length += static_cast<size_t>(got);
    }
    std::vector<uint8_t> image(kEngineImageCapacity);
    const SrecResult result = ConvertSrecPlain(text.data(), length, image.data(), image.size());
    return result.error == SrecError::None ? result.length : 0;
}

bool IsLargeReader(int reader) {
    return reader >= KvOrb512 && reader <= KvLarge9;
}

// ---- The files, checked before the engine starts: it would report an unreadable file only after
// the reader was reset, and a FIFO without a writer would hold it forever.

std::optional<std::string> CheckFiles(const DownloadOptions& options) {
    const bool binary = options.type == static_cast<int>(KV_DOWNLOAD_AUTO_BINARY) ||
                        options.type == static_cast<int>(KV_DOWNLOAD_BINARY);
    UniqueFd fd;
    struct stat info {};
    if (options.type != kEraseCodeType) {
        if (auto problem =
                OpenInputFile(options.application.c_str(),
                              binary ? "a binary download file" : "an S-record file", fd, info)) {
            return problem;
        }
    }
    if (!options.driver.empty()) {
        return OpenInputFile(options.driver.c_str(), "the driver library's S-record file", fd,
                             info);
    }
    return std::nullopt;
}

// Download type 1 deciphers the application: a number that does not read as three digits after
// it means a wrong key, or a file never enciphered, and the reader would take garbage. Warned as
// "cordane info" warns, before anything is erased.
void WarnAboutAppNumber(const DownloadOptions& options, uint32_t selector) {
    if (options.type != static_cast<int>(KV_DOWNLOAD_AUTO_BINARY) ||
        !IsLargeReader(options.reader)) {
        return;
    }
    uint8_t base[kBaseKeySize] = {};
    if (options.key.key) {
        std::copy(options.key.key->begin(), options.key.key->end(), base);
    } else if (!BuiltInBaseKey(selector, base)) {
        return;
    }
    constexpr size_t kNeeded = large::kFileApp + large::kEnciphered;
    InputFile file;
    if (!ReadInput("download", options.application.c_str(), "a binary download file", file,
                   kNeeded) ||
        file.bytes.size() < kNeeded) {
        return;  // too short to decipher: the engine refuses it with its own message
    }
    if (!DecipherImageRegion(file.bytes.data(), file.bytes.size(), large::kFileApp,
                             large::kEnciphered, base)) {
        return;
    }
    CheckAppNumber("download", options.application.c_str(), file.bytes.data(), true);
}

// ---- The job

// The engine's client: every callback becomes an event for the main thread.
class DownloadJob : public CDownloadManager {
  public:
    explicit DownloadJob(EventQueue& queue) : queue_(queue) {}

    std::atomic<bool> cancelled{false};
    // Set before the job starts; cleared by the success notice or the failure's completion.
    std::atomic<bool> outcomePending{false};

    void KvSetMessage(char* text) override { Push(EventKind::Message, text); }
    void KvpBarSetRange(short lower, short upper) override {
        Event event;
        event.kind = EventKind::Range;
        event.value = lower;
        event.upper = upper;
        queue_.Push(std::move(event));
    }
    void KvpBarSetStep(int step) override { Push(EventKind::StepSize, nullptr, step); }
    void KvpBarStepIt() override { Push(EventKind::StepIt, nullptr); }
    int KvpBarSetPos(int position) override {
        Push(EventKind::Position, nullptr, position);
        return 0;
    }
    bool KvIsCanceled() override { return cancelled.load(); }
    void KvDownloadCompleted(char* text, int code) override {
        Push(EventKind::Completion, text, code);
    }

  private:
    // The manager's own notice handler is private to it, so this one reports every notice and
    // keeps the manager's rule itself: one completion per job, "Download completed" or
    // "Download Error".
    void KvFinTelechargement(char* text, int code) override {
        Push(EventKind::Notice, text, code);
        // Writable copies: the callback takes char*, and an override may write to it.
        if (code == KV_NOTICE_SUCCESS) {
            outcomePending = false;
            char completed[] = "Download completed";
            KvDownloadCompleted(completed, 0);
        } else if (code == KV_NOTICE_OVER && outcomePending.exchange(false)) {
            char failed[] = "Download Error";
            KvDownloadCompleted(failed, 1);
        }
    }

    void Push(EventKind kind, const char* text, int value = 0) noexcept {
        try {
            Event event;
            event.kind = kind;
            event.value = value;
            event.hasText = text != nullptr;  // a notice without text
            if (text != nullptr) event.text = text;
            queue_.Push(std::move(event));
        } catch (...) {
            // Out of memory for the text: the event is lost, the download goes on.
        }
    }

    EventQueue& queue_;
};

// The engine's message boxes, answered without asking: the answer comes from --yes / --no.
struct MessageBoxAnswers {
    EventQueue* queue;
    bool yes;
};

int AnswerMessageBox(HWND, const char* text, const char* caption, unsigned style, void* context) {
    const auto& answers = *static_cast<const MessageBoxAnswers*>(context);
    const bool question = (style & 0xF) == MB_YESNO;
    try {
        Event event;
        event.kind = EventKind::MessageBox;
        event.caption = caption != nullptr ? caption : "";
        event.text = text != nullptr ? text : "";
        event.question = question;
        event.answeredYes = question && answers.yes;
        answers.queue->Push(std::move(event));
    } catch (...) {
        // Out of memory for the text: the message is lost, the answer is not.
    }
    if (!question) return IDOK;
    return answers.yes ? IDYES : IDNO;
}

// Installs the message-box handler for the job's lifetime.
class MessageBoxScope {
  public:
    explicit MessageBoxScope(MessageBoxAnswers* answers) {
        KvSetMessageBoxHandler(AnswerMessageBox, answers);
    }
    ~MessageBoxScope() { KvSetMessageBoxHandler(nullptr, nullptr); }
    MessageBoxScope(const MessageBoxScope&) = delete;
    MessageBoxScope& operator=(const MessageBoxScope&) = delete;
};

// While it runs, what is written to standard output (the engine's conversion banner) goes into a
// pipe the main thread reads, so that it neither breaks the bar nor mixes into the JSON lines.
class StdoutCapture {
  public:
    StdoutCapture() = default;
    ~StdoutCapture() { Stop(); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    bool Start() {
        // Without an open standard output the pipe could take its number: leave it alone.
        if (::fcntl(STDOUT_FILENO, F_GETFD) < 0) return false;
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return false;
        read_.Reset(ends[0]);
        ::fcntl(read_.get(), F_SETFL, ::fcntl(read_.get(), F_GETFL) | O_NONBLOCK);
        std::fflush(stdout);
        saved_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (saved_ < 0 || ::dup2(ends[1], STDOUT_FILENO) < 0) {
            ::close(ends[1]);
            if (saved_ >= 0) ::close(saved_);
            saved_ = -1;
            read_.Reset();
            return false;
        }
        ::close(ends[1]);
        active_ = true;
        return true;
    }

    int fd() const { return read_.get(); }

    // What has been written so far.
    std::string Take() {
        std::string text;
        char buffer[512];
        for (;;) {
            const ssize_t got = ::read(read_.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            text.append(buffer, static_cast<size_t>(got));
        }
        return text;
    }

    // Gives standard output back; the pipe can still be read to its end.
    void Stop() {
        if (!active_) return;
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
        active_ = false;
    }

  private:
    UniqueFd read_;
    int saved_ = -1;
    bool active_ = false;
};

// SIGINT, SIGTERM and SIGHUP arrive through a descriptor the main thread polls, never as a
// handler: the engine's worker thread inherits the mask when it starts.
class SignalCatcher {
  public:
    SignalCatcher() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGHUP);
        blocked_ = ::pthread_sigmask(SIG_BLOCK, &set_, &previous_) == 0;
        if (blocked_) fd_.Reset(::signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK));
        if (blocked_ && fd_.get() < 0) {
            // Nobody would hear them: let the signals act as they usually do.
            ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
            blocked_ = false;
        }
        // A reader of --json that goes away must not kill the program before it cleans up.
        previousPipe_ = ::signal(SIGPIPE, SIG_IGN);
    }
    ~SignalCatcher() {
        ::signal(SIGPIPE, previousPipe_);
        fd_.Reset();
        if (blocked_) ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SignalCatcher(const SignalCatcher&) = delete;
    SignalCatcher& operator=(const SignalCatcher&) = delete;

    int fd() const { return fd_.get(); }
    // The number of signals received since the last call.
    int Take() {
        int count = 0;
        signalfd_siginfo info;
        while (::read(fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            ++count;
        }
        return count;
    }

  private:
    sigset_t set_{};
    sigset_t previous_{};
    bool blocked_ = false;
    UniqueFd fd_;
    void (*previousPipe_)(int) = SIG_DFL;
};

// The reader type as the help lists it.
const char* ReaderName(int reader) {
    static constexpr const char* kNames[] = {
        "KvTal (64 Kb)", "KvOrb (64 Kb)", "KvOrb (512Kb)", "KvTal (512 Kb)", "KvQuin3",
        "KvOrb1Mb",      "KvTal (1Mb)",   "KvTalModem",    "large reader",   "large reader"};
    return reader >= 0 && reader <= kLastReaderType ? kNames[reader] : "reader";
}

// What the exit code means and what to do next, for the last line on a terminal or in a log.
std::string Verdict(int code, const DownloadOptions& options, const PortChoice& port) {
    const std::string where = port.throughPath ? port.device : port.text;
    char text[512];
    const bool appNumberChecked =
        options.appNumber && options.type == KV_DOWNLOAD_AUTO_BINARY && options.reader >= KvOrb512;
    switch (code) {
        case kExitOk:
            if (options.type == kEraseCodeType) {
                std::snprintf(text, sizeof text, "the code of the reader on %s is erased",
                              where.c_str());
            } else {
                std::snprintf(text, sizeof text, "download completed: %s is in the reader on %s",
                              options.application.c_str(), where.c_str());
            }
            break;
        case kExitBadInput:
            std::snprintf(text, sizeof text, "%s",
                          options.silent ? "download refused: the file or the port was refused "
                                           "(exit code 1); run without --silent to see why"
                                         : "download refused: check the file or the port named "
                                           "above (exit code 1)");
            break;
        case kExitOpenFailed:
            std::snprintf(text, sizeof text,
                          "the download session could not be opened on %s: check that the "
                          "reader is connected and powered and that --reader %d is its type "
                          "(exit code 3)",
                          where.c_str(), options.reader);
            break;
        case kExitCommunication:
            if (appNumberChecked) {
                // The engine ends a wrong application number with this code too.
                std::snprintf(text, sizeof text,
                              "%s does not carry application number %d, or communication with "
                              "the reader on %s failed (the message above tells which): check "
                              "--check-app-number, or the cable and the adapter (exit code 4)",
                              options.application.c_str(), *options.appNumber, where.c_str());
                break;
            }
            // The loader also refuses frames of another reader type's protocol this way.
            std::snprintf(text, sizeof text,
                          "communication with the reader on %s failed: check that the reader is "
                          "a %s (--reader %d), then the cable and the adapter, and download "
                          "again (exit code 4)",
                          where.c_str(), ReaderName(options.reader), options.reader);
            break;
        case kExitNoResponse:
            std::snprintf(text, sizeof text,
                          "the reader on %s stopped answering: check that it is connected and "
                          "powered, then download again (exit code 5)",
                          where.c_str());
            break;
        case kExitCancelled:
            std::snprintf(text, sizeof text,
                          "download cancelled: the reader on %s holds no valid application "
                          "until a download completes (exit code 6)",
                          where.c_str());
            break;
        default:
            std::snprintf(text, sizeof text,
                          "the reader's loader refused the download with error code %d (0x%02X): "
                          "check the reader type (--reader %d) and the application file%s, then "
                          "download again",
                          code, static_cast<unsigned>(code), options.reader,
                          appNumberChecked ? ", and whether the reader takes this application "
                                             "number after --previous"
                                           : "");
            break;
    }
    return std::string("cordane download: ") + text + "\n";
}

}  // namespace

int RunDownload(int argc, char** argv) {
    DownloadOptions options;
    bool help = false;
    if (const std::optional<std::string> problem =
            ParseDownloadOptions(argc, argv, options, help)) {
        return Usage(*problem);
    }
    if (help) {
        std::fputs(kHelp, stdout);
        return kExitOk;
    }

    WarnUnusedChecks(options);
    const JobSettings settings = SettingsOf(options);
    if (const std::optional<std::string> refused = CheckFiles(options)) {
        return Refuse(options.json, *refused + "; nothing was sent to the reader", kExitBadInput);
    }
    WarnAboutAppNumber(options, settings.keySelector);

    PortChoice port;
    std::string problem;
    int refusedCode = kExitBadInput;
    if (!ChoosePort(options.port, port, problem, refusedCode)) {
        return Refuse(options.json, problem, refusedCode);
    }
    if (options.key.key) {
        if (const auto refused = RegisterEngineKey(settings.keySelector, *options.key.key)) {
            return Refuse(options.json, *refused, kExitBadInput);
        }
    }
    const uint64_t imageBytes = !IsLargeReader(options.reader) && !options.application.empty()
                                    ? SmallReaderImageSize(options.application)
                                    : 0;

    // From here on a signal is only noted: every path below reaches the clean-up.
    SignalCatcher signals;
    TemporaryPortsDirectory portsDirectory;
    if (port.throughPath && !portsDirectory.Create(port.device, problem)) {
        return Refuse(options.json, problem, kExitBadInput);
    }

    const UniqueFd jsonOut(options.json ? ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3) : -1);
    const int viewFd = options.json ? jsonOut.get() : STDERR_FILENO;
    Sink sink = [viewFd](std::string_view text) { WriteAll(viewFd, text); };
    std::unique_ptr<ProgressView> view;
    const char* term = std::getenv("TERM");
    if (options.json) {
        view = MakeJsonView(sink, imageBytes);
    } else if (::isatty(STDERR_FILENO) && !(term != nullptr && std::strcmp(term, "dumb") == 0)) {
        view = MakeTerminalView(sink, imageBytes, TerminalColumns);
    } else {
        view = MakePlainView(sink, imageBytes);
    }

    EventQueue queue;
    if (!queue.ok()) {
        return Refuse(options.json,
                      std::string("cannot set up the progress queue: ") + std::strerror(errno),
                      kExitBadInput);
    }
    DownloadJob job(queue);
    job.SetPortCom(port.number, port.isVirtual);
    job.SetReaderType(static_cast<eReaderType>(options.reader));
    job.SetApplicationName(options.application.data());
    job.SetDriverName(options.driver.data());

    MessageBoxAnswers answers{&queue, options.answerYes.value_or(false)};
    const MessageBoxScope boxes(&answers);
    StdoutCapture capture;
    const bool capturing = capture.Start();

    std::thread canceller;
    std::atomic<bool> cancellerDone{false};
    bool over = false;  // the job's last notice has been seen
    // The queue first: the engine's output comes after the events it follows, and before any
    // later one could have been queued (the next event waits for an answer from the reader).
    auto showAll = [&] {
        for (const Event& event : queue.Drain()) {
            if (event.kind == EventKind::Notice && event.value == KV_NOTICE_OVER) over = true;
            view->Show(event, NowSeconds());
        }
        if (capturing) {
            std::string text = capture.Take();
            if (!text.empty()) {
                Event event;
                event.kind = EventKind::Output;
                event.text = std::move(text);
                view->Show(event, NowSeconds());
            }
        }
    };
    // A second Ctrl-C: the worker and the canceller still run and cannot be joined, so the
    // program cleans up what it made and leaves without running the destructors they might race.
    auto quitAtOnce = [&] {
        capture.Stop();
        view->Finish(kExitInterrupted);
        if (!options.json) {
            std::fputs(
                "cordane download: quit at once; the reader may still be in its loader: "
                "download again to leave it with a valid application\n",
                stderr);
        }
        portsDirectory.RemoveFiles();
        std::fflush(nullptr);
        ::_exit(kExitInterrupted);
    };

    job.outcomePending = true;
    const std::unique_ptr<CWinThread> thread(StartJob(job, settings));
    if (!thread) {
        capture.Stop();
        showAll();
        view->Finish(kExitBadInput);
        std::fputs("cordane download: the download could not be started\n", stderr);
        return kExitBadInput;
    }

    int interrupts = 0;
    // After the last notice the worker only returns: wait for that instead of polling on.
    while (!thread->Wait(over ? 1000 : 0)) {
        std::vector<pollfd> fds{{queue.fd(), POLLIN, 0}};
        if (signals.fd() >= 0) fds.push_back({signals.fd(), POLLIN, 0});
        if (capturing) fds.push_back({capture.fd(), POLLIN, 0});
        ::poll(fds.data(), fds.size(), kIdleMilliseconds);
        showAll();
        view->Tick(NowSeconds());
        const int received = signals.fd() >= 0 ? signals.Take() : 0;
        if (received == 0) continue;
        interrupts += received;
        if (interrupts > 1) quitAtOnce();
        // The procedures stop at their next cancel query; the reset through a link of the
        // canceller's own makes sure the reader leaves its loader. It takes two seconds, so it
        // runs beside this loop, which keeps showing progress and hears a second Ctrl-C.
        job.cancelled = true;
        Event event;
        event.kind = EventKind::Cancelling;
        view->Show(event, NowSeconds());
        try {
            canceller = std::thread([&job, &cancellerDone] {
                try {
                    job.CancelDownload();
                } catch (...) {
                    // Nothing leaves this thread; the job ends at its next cancel query anyway.
                }
                cancellerDone = true;
            });
        } catch (const std::system_error&) {
            // No thread for the reset: the job still ends at its next cancel query.
        }
    }
    // The reader's reset finishes before the program leaves; a second Ctrl-C still quits.
    while (canceller.joinable() && !cancellerDone) {
        pollfd fd{signals.fd(), POLLIN, 0};
        ::poll(&fd, signals.fd() >= 0 ? 1 : 0, kIdleMilliseconds);
        if (signals.fd() >= 0 && signals.Take() > 0) quitAtOnce();
    }
    if (canceller.joinable()) canceller.join();

    uint32_t code = thread->ExitCode();
    capture.Stop();
    showAll();
    // Exit codes are one byte: a code the engine never gives must not read as success.
    if (code > 255) code = 255;
    view->Finish(static_cast<int>(code));
    if (!options.json) std::fputs(Verdict(static_cast<int>(code), options, port).c_str(), stderr);
    return static_cast<int>(code);
}

}  // namespace cordane::tools
