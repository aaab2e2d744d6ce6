// The job log between processes: several writers on one SQLite file and on one PostgreSQL server
// of the test's own, each row kept; `cordane download` against a table another session holds
// locked, libpq's key=value words and targets with passwords; and `cordane log` reading them back,
// filtered, as a table, CSV, JSON lines and counts, with clear refusals.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cordane/exit_codes.h"
#include "emulator/emulator_support.h"
#include "joblog/job_log.h"
#include "support/program_runner.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace korvel::joblog;
using korvel::testkit::Command;
using korvel::testkit::Lines;
using korvel::testkit::Outcome;
using korvel::testkit::Output;
using korvel::testkit::ReadText;
using korvel::testkit::RunningProgram;

// Success, or a failure that shows the job log's reason.
template <typename T>
::testing::AssertionResult Ok(const korvel::base::Expected<T>& result) {
    if (result) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << result.error().message;
}
using korvel::testkit::StopRequest;
using korvel::testkit::TempDir;

const std::string kCordane = std::string(KORVEL_BINARY_DIR) + "/bin/cordane";

// Quoted for the shell.
std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Failure guard only: a server starts within a minute (pg_ctl -t 60), a query or a report within
// seconds.
constexpr auto kCommandPatience = std::chrono::minutes(2);

// `cordane log` with `arguments`; KORVEL_LOG names `korvelLog`, or is not set.
Outcome CordaneLog(std::vector<std::string> arguments,
                   const std::optional<std::string>& korvelLog = std::nullopt) {
    arguments.insert(arguments.begin(), "log");
    Command command{.program = kCordane, .arguments = std::move(arguments)};
    if (korvelLog) {
        command.environment["KORVEL_LOG"] = *korvelLog;
    } else {
        command.unset.push_back("KORVEL_LOG");
    }
    return korvel::testkit::RunToEnd(command, kCommandPatience);
}

JobRow Row(const std::string& started, const std::string& port, int reader, int exitCode) {
    JobRow row;
    row.startedUtc = started;
    row.endedUtc = started;
    row.host = "station-1";
    row.port = port;
    row.readerType = reader;
    row.readerName = reader == 0 ? "KvTal (64 Kb)" : "KvOrb1Mb";
    row.application.path = "/line/app, \"final\".sre";  // a comma and quotes, for the CSV
    row.exitCode = exitCode;
    row.result = cordane::ResultText(exitCode);
    row.bytesSent = exitCode == 0 ? 7168 : 1024;
    row.durationMs = 2500;
    row.tool = "cordane 0.1.0";
    return row;
}

// `writers` processes, started together, each appending `rows` rows to `target` through a
// connection of its own per row, as that many downloads would. The rows that failed.
int WriteAtOnce(const std::string& target, int writers, int rows) {
    int gate[2];
    if (pipe(gate) != 0) return -1;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(gate[1]);
            char byte;
            (void)!read(gate[0], &byte, 1);  // the gate opens for all writers at once
            int failed = 0;
            for (int r = 0; r < rows; ++r) {
                const std::string port = "KORVEL" + std::to_string(10 + w);
                const korvel::base::Expected<void> written =
                    AppendJob(target, Row(UtcText(std::chrono::system_clock::now()), port, 0, 0));
                if (!written) {
                    std::fprintf(stderr, "writer %d: %s\n", w, written.error().message.c_str());
                    ++failed;
                }
            }
            _exit(failed);
        }
        children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    int failed = 0;
    for (const pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        failed += WIFEXITED(status) ? WEXITSTATUS(status) : rows;
    }
    return failed;
}

// Every writer's rows are there, each once.
void ExpectAllRows(const std::string& target, int writers, int rows) {
    const auto store = OpenStore(target, Access::kRead);
    ASSERT_TRUE(Ok(store));
    const auto found = (*store)->List({});
    ASSERT_TRUE(Ok(found));
    EXPECT_EQ(found->size(), static_cast<size_t>(writers * rows));
    std::set<int64_t> ids;
    for (const JobRow& row : *found) ids.insert(row.id);
    EXPECT_EQ(ids.size(), found->size());
    for (int w = 0; w < writers; ++w) {
        Filter filter;
        filter.port = "KORVEL" + std::to_string(10 + w);
        const auto ported = (*store)->List(filter);
        ASSERT_TRUE(Ok(ported));
        EXPECT_EQ(ported->size(), static_cast<size_t>(rows)) << *filter.port;
    }
}

TEST(JobLogProcessTest, WritersOnOneSqliteFileAtOnceLoseNoRow) {
    TempDir dir;
    const std::string target = dir.path() + "/jobs.db";
    // The file does not exist yet: the writers also race to make it and its table.
    EXPECT_EQ(WriteAtOnce(target, 4, 40), 0);
    ExpectAllRows(target, 4, 40);
}

// A PostgreSQL server of the test's own: a cluster in a temporary directory, reached on a Unix
// socket there only, run by an unprivileged user when the test runs as root (the server refuses
// to run as root).
class PostgresServer {
  public:
    bool Start(std::string& why) {
        if (dir_.path().empty()) return (why = "no temporary directory"), false;
        bin_ = FindBin();
        if (bin_.empty()) return (why = "no initdb found (package postgresql)"), false;
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (nobody == nullptr ||
                chown(dir_.path().c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
                return (why = "cannot hand the directory to the user nobody"), false;
            }
            const std::string runuser = korvel::testkit::FindProgram("runuser");
            if (runuser.empty()) {
                return (why = "no runuser found to run the server as nobody"), false;
            }
            as_ = {runuser, "-u", "nobody", "--"};
        }
        const std::string data = dir_.path() + "/data";
        const Outcome init = Run(AsOwner({bin_ + "/initdb", "-D", data, "-U", "korvel", "-A",
                                          "trust", "-E", "UTF8", "--no-sync"}));
        if (init.code != 0) return (why = "initdb failed: " + init.err + init.failure), false;
        const Outcome start =
            Run(AsOwner({bin_ + "/pg_ctl", "-D", data, "-l", dir_.path() + "/server.log", "-w",
                         "-t", "60", "-o", "-h '' -k " + dir_.path() + " -F", "start"}));
        if (start.code != 0) {
            return (why = "pg_ctl start failed: " + start.err + start.failure +
                          ReadText(dir_.path() + "/server.log")),
                   false;
        }
        stop_ = AsOwner({bin_ + "/pg_ctl", "-D", data, "-m", "immediate", "-w", "stop"});
        address = "postgresql:///postgres?host=" + dir_.path() + "&user=korvel";
        return true;
    }
    ~PostgresServer() {
        if (!stop_.program.empty()) Run(stop_);
    }

    // The directory of the server's socket: libpq's host.
    const std::string& SocketDirectory() const { return dir_.path(); }
    // psql on the job log's database, for `arguments`.
    Command Psql(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(),
                         {"-X", "-q", "-h", dir_.path(), "-U", "korvel", "-d", "postgres"});
        return {.program = bin_ + "/psql", .arguments = std::move(arguments)};
    }
    // The same as a shell command line.
    std::string PsqlLine(const std::string& redirections) const {
        std::string line = Quoted(bin_ + "/psql");
        for (const std::string& argument : Psql({}).arguments) line += " " + Quoted(argument);
        return line + " " + redirections;
    }
    // One statement's rows, one a line, as psql prints them unaligned.
    std::string Query(const std::string& sql) const {
        return Run(Psql({"-A", "-t", "-c", sql})).out;
    }

    std::string address;

  private:
    static Outcome Run(const Command& command) {
        return korvel::testkit::RunToEnd(command, kCommandPatience);
    }
    // `command` run in the server's directory, as the user that owns it.
    Command AsOwner(std::vector<std::string> command) const {
        command.insert(command.begin(), as_.begin(), as_.end());
        const std::string program = command.front();
        command.erase(command.begin());
        return {.program = program, .arguments = std::move(command), .directory = dir_.path()};
    }
    static std::string FindBin() {
        std::vector<std::string> candidates;
        const std::string config = korvel::testkit::FindProgram("pg_config");
        if (!config.empty()) {
            const Outcome bindir = Run({.program = config, .arguments = {"--bindir"}});
            if (bindir.code == 0 && !bindir.out.empty()) candidates.push_back(Lines(bindir.out)[0]);
        }
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ignored)) {
            candidates.push_back((entry.path() / "bin").string());
        }
        for (const std::string& bin : candidates) {
            if (access((bin + "/initdb").c_str(), X_OK) == 0 &&
                access((bin + "/pg_ctl").c_str(), X_OK) == 0) {
                return bin;
            }
        }
        return "";
    }

    TempDir dir_;
    std::vector<std::string> as_;  // what runs a command as the server's owner, when not us
    std::string bin_;
    Command stop_;
};

TEST(JobLogProcessTest, WritersOnOnePostgresServerAtOnceLoseNoRowAndCordaneLogReadsThem) {
    PostgresServer server;
    std::string why;
    if (!server.Start(why)) {
        GTEST_SKIP() << "no PostgreSQL server could be started here, so the PostgreSQL job log "
                        "is not tested: "
                     << why;
    }
    // The database holds no job log yet: the writers race to make the table.
    EXPECT_EQ(WriteAtOnce(server.address, 2, 30), 0);
    ExpectAllRows(server.address, 2, 30);

    TempDir dir;
    const Outcome stats = CordaneLog({"--stats", "--csv", "--log", server.address});
    EXPECT_EQ(stats.code, 0) << stats.err;
    EXPECT_EQ(stats.out,
              "exit_code,result,reader_type,reader_name,jobs\n"
              "0,completed,0,KvTal (64 Kb),60\n");
    // A server that is not there: the reason, naming the address.
    const std::string gone = "postgresql:///postgres?host=" + dir.path() + "&user=korvel";
    const Outcome refused = CordaneLog({"--log", gone});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("cannot read the job log " + gone + ": PostgreSQL: "),
              std::string::npos)
        << refused.err;
}

// Failure guard only: a download to the emulator and its row take a few seconds, a row that waits
// for a lock the session's 10 s.
constexpr auto kPatience = std::chrono::seconds(60);

bool WaitUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Another session that holds the job table locked, as a long report or a migration would, until
// it goes out of scope (psql ends at the end of its input, and its transaction with it).
class TableLock {
  public:
    explicit TableLock(const PostgresServer& server) {
        // The one program a test feeds through its standard input, which the test kit's runner
        // does not do: the session lasts as long as its input stays open.
        psql_ = popen(server.PsqlLine(">/dev/null 2>&1").c_str(), "w");
        if (psql_ == nullptr) return;
        std::fputs("BEGIN; LOCK TABLE korvel_jobs IN ACCESS EXCLUSIVE MODE;\n", psql_);
        std::fflush(psql_);
        held_ = WaitUntil([&] {
            return server.Query(
                       "SELECT COUNT(*) FROM pg_locks WHERE granted AND relation = "
                       "'korvel_jobs'::regclass AND mode = 'AccessExclusiveLock'") == "1\n";
        });
    }
    ~TableLock() { Release(); }
    void Release() {
        if (psql_ != nullptr) pclose(psql_);
        psql_ = nullptr;
    }
    bool held() const { return held_; }

  private:
    FILE* psql_ = nullptr;
    bool held_ = false;
};

const std::string kSample = std::string(KORVEL_SOURCE_DIR) + "/tools/samples/demo64.sre";
constexpr const char kWaiting[] = "SELECT COUNT(*) FROM pg_locks WHERE NOT granted";

// An emulated 64 Kb reader on virtual port 1 of the ports directory `dir`, for one download.
class Reader {
  public:
    explicit Reader(const std::string& dir)
        : sim_({.program = emulatortest::kSimulator,
                .arguments = {"--virtual", "1", "--ports-dir", dir, "--once", "--reader", "1",
                              "--loader", "addressed"},
                .output = Output::IntoFile(dir + "/sim.out"),
                .errors = Output::IntoFile(dir + "/sim.err")}) {
        ready_ = sim_.Started() &&
                 WaitUntil([&] { return ReadText(dir + "/sim.out").rfind("ready ", 0) == 0; });
    }
    bool ready() const { return ready_; }

  private:
    RunningProgram sim_;
    bool ready_ = false;
};

// `cordane download` of the sample to the reader of `dir`, started, with KORVEL_LOG as given.
std::unique_ptr<RunningProgram> StartDownload(const std::string& dir,
                                              std::vector<std::string> arguments,
                                              const std::string& korvelLog = "") {
    std::vector<std::string> args = {"download", "--port", "KORVEL01", "--reader", "1"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    args.push_back(kSample);
    return std::make_unique<RunningProgram>(Command{
        .program = kCordane,
        .arguments = args,
        .environment = {{"KORVEL_PORTS_DIR", dir}, {"TMPDIR", dir}, {"KORVEL_LOG", korvelLog}},
        .output = Output::IntoFile(dir + "/cordane.out"),
        .errors = Output::IntoFile(dir + "/cordane.err")});
}

// The same, run to its end: its exit code and standard error.
Outcome Download(const std::string& dir, std::vector<std::string> arguments,
                 const std::string& korvelLog = "") {
    Reader reader(dir);
    if (!reader.ready()) return {-1, "", "no emulated reader: " + ReadText(dir + "/sim.err")};
    const int code = StartDownload(dir, std::move(arguments), korvelLog)->Wait(kPatience);
    return {code, "", ReadText(dir + "/cordane.err")};
}

std::vector<JobRow> Jobs(const std::string& target) {
    const auto store = OpenStore(target, Access::kRead);
    EXPECT_TRUE(Ok(store));
    if (!store) return {};
    const auto rows = (*store)->List({});
    EXPECT_TRUE(Ok(rows));
    return rows.value_or(std::vector<JobRow>{});
}

TEST(JobLogProcessTest, ARowWaitingForALockedTableGivesUpInBoundedTimeAndCtrlCQuitsTheWaitAtOnce) {
    PostgresServer server;
    std::string why;
    if (!server.Start(why)) GTEST_SKIP() << "no PostgreSQL server could be started here: " << why;
    ASSERT_TRUE(Ok(AppendJob(server.address, Row("2026-12-08T09:00:00.000Z", "KORVEL10", 0, 0))));
    TableLock lock(server);
    ASSERT_TRUE(lock.held());
    TempDir dir;
    {
        // Ctrl-C while the row waits: the program quits at once, the statement cancelled on the
        // server, where nothing waits any more to write the row once the lock goes.
        Reader reader(dir.path());
        ASSERT_TRUE(reader.ready()) << ReadText(dir.path() + "/sim.err");
        const auto cordane = StartDownload(dir.path(), {"--log", server.address});
        ASSERT_TRUE(WaitUntil([&] { return server.Query(kWaiting) == "1\n"; }))
            << ReadText(dir.path() + "/cordane.err");
        cordane->Stop(StopRequest::Interrupt);
        EXPECT_EQ(cordane->Wait(kPatience), 130) << ReadText(dir.path() + "/cordane.err");
        EXPECT_NE(ReadText(dir.path() + "/cordane.err")
                      .find("the job was not logged to " + server.address +
                            ": stopped: the statement was cancelled. The download itself ended "
                            "with exit code 0 (completed); quit at once (exit code 130)"),
                  std::string::npos)
            << ReadText(dir.path() + "/cordane.err");
        EXPECT_EQ(server.Query(kWaiting), "0\n");
    }
    // Left alone, the row gives up at the session's lock_timeout; the download's result stands.
    const Outcome waited = Download(dir.path(), {"--log", server.address});
    EXPECT_EQ(waited.code, 0) << waited.err;
    EXPECT_NE(waited.err.find("the job was not logged to " + server.address +
                              ": PostgreSQL: canceling statement due to lock timeout. "
                              "The download's result stands (exit code 0)"),
              std::string::npos)
        << waited.err;
    lock.Release();
    EXPECT_EQ(Jobs(server.address).size(), 1u) << "a row reported as not written was written";
}

TEST(JobLogProcessTest, LibpqWordsReachTheServerAndNoTextShowsAPasswordNorMakesAFile) {
    PostgresServer server;
    std::string why;
    if (!server.Start(why)) GTEST_SKIP() << "no PostgreSQL server could be started here: " << why;
    TempDir dir;
    // KORVEL_LOG as key=value words: the row goes to the server, no file of that name is made.
    const std::string words =
        "host=" + server.SocketDirectory() + " dbname=postgres user=korvel password=Hunter2";
    const Outcome logged = Download(dir.path(), {}, words);
    EXPECT_EQ(logged.code, 0) << logged.err;
    EXPECT_EQ(logged.err.find("not logged"), std::string::npos) << logged.err;
    EXPECT_FALSE(fs::exists(words));
    const std::vector<JobRow> rows = Jobs(server.address);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].port, "KORVEL01");

    // A target that is neither a path nor an address: refused, said, nothing made; the code stays.
    const std::string odd = "jobs\x1b[2J.db";
    const Outcome refused = Download(dir.path(), {}, odd);
    EXPECT_EQ(refused.code, 0) << refused.err;
    EXPECT_NE(refused.err.find("the job was not logged to jobs\\x1b[2J.db: neither a file path "
                               "nor a PostgreSQL address: it holds a control character (\\x1b)"),
              std::string::npos)
        << refused.err;
    EXPECT_FALSE(fs::exists(odd));

    // Passwords: in the download's report of an address libpq cannot read, and in every reason
    // `cordane log` gives.
    const Outcome broken =
        Download(dir.path(), {"--log", "postgresql://op:Hunter2@[fe80::1/korvel"});
    EXPECT_EQ(broken.code, 0) << broken.err;
    EXPECT_NE(broken.err.find("not logged to postgresql://op:***@[fe80::1/korvel: PostgreSQL: "),
              std::string::npos)
        << broken.err;
    EXPECT_EQ(broken.err.find("Hunter2"), std::string::npos) << broken.err;
    for (const std::string& target : std::vector<std::string>{
             "postgresql://op:Hunter2@[fe80::1/korvel",
             "host=" + server.SocketDirectory() + " dbname=none user=korvel password='Hunter2 x'",
             "postgresql://op:Hunter2@/postgres?host=" + server.SocketDirectory(),
             "postgres:///none?host=" + server.SocketDirectory() + "&password=Hunter2"}) {
        const Outcome read = CordaneLog({"--log", target});
        EXPECT_EQ(read.code, 1) << read.err;
        EXPECT_NE(read.err.find("***"), std::string::npos) << read.err;
        EXPECT_EQ(read.err.find("Hunter2"), std::string::npos) << read.err;
    }
}

TEST(JobLogProcessTest, CordaneLogFindsAPortAsADownloadNamesItAndShowsControlCharactersEscaped) {
    TempDir dir;
    const std::string target = dir.path() + "/jobs.db";
    const auto store = OpenStore(target, Access::kWrite);
    ASSERT_TRUE(Ok(store));
    JobRow strange = Row("2026-12-08T08:00:02.000Z", "/dev/ttyUSB0", 0, 0);
    strange.application.path = "/line/new\nline\t\x1b[31mred.sre";
    ASSERT_TRUE(Ok((*store)->Append(Row("2026-12-08T08:00:00.000Z", "COM3", 0, 0))));
    ASSERT_TRUE(Ok((*store)->Append(Row("2026-12-08T08:00:01.000Z", "KORVEL07", 0, 0))));
    ASSERT_TRUE(Ok((*store)->Append(strange)));
    for (const auto& [given, port] : std::vector<std::pair<std::string, std::string>>{
             {"com3", "COM3"},
             {"Com03", "COM3"},
             {"korvel7", "KORVEL07"},
             {"KORVEL07", "KORVEL07"},
             {"/dev/ttyUSB0", "/dev/ttyUSB0"},
         }) {
        const Outcome json = CordaneLog({"--log", target, "--json", "--port", given});
        const std::vector<std::string> lines = Lines(json.out);
        ASSERT_EQ(lines.size(), 1u) << given << ": " << json.out << json.err;
        EXPECT_NE(lines[0].find("\"port\":\"" + port + "\""), std::string::npos) << lines[0];
    }
    const Outcome table = CordaneLog({"--log", target, "--port", "/dev/ttyUSB0"});
    const std::vector<std::string> lines = Lines(table.out);
    ASSERT_EQ(lines.size(), 3u) << table.out;
    const std::string escaped = "/line/new\\nline\\t\\x1b[31mred.sre";
    EXPECT_EQ(lines[1].substr(lines[1].size() - escaped.size()), escaped) << lines[1];
    EXPECT_EQ(table.out.find_first_of("\t\x1b"), std::string::npos);
}

TEST(JobLogProcessTest, CordaneLogFiltersAndPrintsAsTableCsvJsonAndCounts) {
    TempDir dir;
    const std::string target = dir.path() + "/jobs.db";
    const auto store = OpenStore(target, Access::kWrite);
    ASSERT_TRUE(Ok(store));
    ASSERT_TRUE(Ok((*store)->Append(Row("2026-12-07T23:59:59.999Z", "KORVEL01", 0, 0))));
    ASSERT_TRUE(Ok((*store)->Append(Row("2026-12-08T08:00:00.000Z", "KORVEL01", 0, 5))));
    ASSERT_TRUE(Ok((*store)->Append(Row("2026-12-08T08:00:01.000Z", "KORVEL02", 5, 0))));
    ASSERT_TRUE(Ok((*store)->Append(Row("2026-12-08T09:30:00.000Z", "KORVEL01", 0, 4))));

    const Outcome table = CordaneLog({"--log", target});
    EXPECT_EQ(table.code, 0) << table.err;
    const std::vector<std::string> lines = Lines(table.out);
    ASSERT_EQ(lines.size(), 6u) << table.out;
    EXPECT_EQ(lines[0].rfind("STARTED (UTC)", 0), 0u);
    EXPECT_NE(lines[2].find("KORVEL01"), std::string::npos);
    EXPECT_NE(lines[2].find("no response"), std::string::npos);
    EXPECT_NE(lines[2].find("1,024"), std::string::npos);
    EXPECT_EQ(lines[5], "4 jobs");

    // The port's failed jobs since a date, as CSV, the target taken from KORVEL_LOG.
    const Outcome csv =
        CordaneLog({"--since", "2026-12-08", "--port", "KORVEL01", "--failed", "--csv"}, target);
    EXPECT_EQ(csv.code, 0) << csv.err;
    const std::vector<std::string> rows = Lines(csv.out);
    ASSERT_EQ(rows.size(), 3u) << csv.out;
    EXPECT_EQ(rows[0].rfind("id,started_utc,ended_utc,host,port,", 0), 0u);
    EXPECT_EQ(rows[1].rfind("2,2026-12-08T08:00:00.000Z,", 0), 0u) << rows[1];
    EXPECT_NE(rows[1].find(",\"/line/app, \"\"final\"\".sre\","), std::string::npos) << rows[1];
    EXPECT_NE(rows[1].find(",5,no response,1024,2500,cordane 0.1.0"), std::string::npos) << rows[1];
    EXPECT_EQ(rows[2].rfind("4,2026-12-08T09:30:00.000Z,", 0), 0u) << rows[2];

    const Outcome json = CordaneLog({"--log", target, "--since", "2026-12-08T08:00:01Z", "--json"});
    EXPECT_EQ(json.code, 0) << json.err;
    ASSERT_EQ(Lines(json.out).size(), 2u) << json.out;
    EXPECT_EQ(Lines(json.out)[0].rfind("{\"id\":3,\"started_utc\":\"2026-12-08T08:00:01.000Z\"", 0),
              0u)
        << json.out;
    EXPECT_NE(Lines(json.out)[0].find("\"reader_type\":5,\"reader_name\":\"KvOrb1Mb\""),
              std::string::npos);
    EXPECT_NE(Lines(json.out)[0].find("\"driver_path\":null"), std::string::npos);

    const Outcome stats = CordaneLog({"--log", target, "--stats", "--json"});
    EXPECT_EQ(stats.code, 0) << stats.err;
    EXPECT_EQ(stats.out,
              "{\"exit_code\":0,\"result\":\"completed\",\"reader_type\":0,\"reader_name\":"
              "\"KvTal (64 Kb)\",\"jobs\":1}\n"
              "{\"exit_code\":0,\"result\":\"completed\",\"reader_type\":5,\"reader_name\":"
              "\"KvOrb1Mb\",\"jobs\":1}\n"
              "{\"exit_code\":4,\"result\":\"communication error\",\"reader_type\":0,"
              "\"reader_name\":\"KvTal (64 Kb)\",\"jobs\":1}\n"
              "{\"exit_code\":5,\"result\":\"no response\",\"reader_type\":0,\"reader_name\":"
              "\"KvTal (64 Kb)\",\"jobs\":1}\n");

    // Refusals: what is wrong and what to give instead.
    const Outcome missing = CordaneLog({"--log", dir.path() + "/none.db"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("cannot read the job log " + dir.path() +
                               "/none.db: No such file or directory; give the target"),
              std::string::npos)
        << missing.err;
    const Outcome none = CordaneLog({"--failed"});
    EXPECT_EQ(none.code, 2);
    EXPECT_NE(none.err.find("no job log given"), std::string::npos) << none.err;
    for (const char* since : {"yesterday", "2026-02-30", "2026-12-08T24:00", "-5m", "5w"}) {
        const Outcome bad = CordaneLog({"--log", target, "--since", since});
        EXPECT_EQ(bad.code, 2) << since;
        EXPECT_NE(bad.err.find(std::string("bad --since \"") + since + "\""), std::string::npos)
            << bad.err;
    }
}

}  // namespace
