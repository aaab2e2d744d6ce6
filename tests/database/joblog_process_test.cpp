// The job log between processes: several writers on one SQLite file and on one PostgreSQL server
// of the test's own, each row kept; and `cordane log` reading them back, filtered, as a table,
// CSV, JSON lines and counts, with clear refusals.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "job_log.h"
#include "test_files.h"

namespace {

namespace fs = std::filesystem;
using namespace korvel::joblog;
using testfiles::Lines;
using testfiles::ReadText;
using testfiles::TempDir;

const std::string kCordane = std::string(KORVEL_BINARY_DIR) + "/bin/cordane";

// Quoted for the shell.
std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

// Runs a shell command line with its output in files of `dir`.
Outcome Shell(const std::string& dir, const std::string& command) {
    const std::string out = dir + "/run.out";
    const std::string err = dir + "/run.err";
    const int status =
        std::system((command + " >" + Quoted(out) + " 2>" + Quoted(err) + " </dev/null").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(out), ReadText(err)};
}

Outcome CordaneLog(const std::string& dir, const std::string& arguments,
                   const std::string& environment = "env -u KORVEL_LOG") {
    return Shell(dir, environment + " " + Quoted(kCordane) + " log " + arguments);
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
    row.result = ResultText(exitCode);
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
                std::string error;
                const std::string port = "KORVEL" + std::to_string(10 + w);
                if (!AppendJob(target, Row(UtcText(std::chrono::system_clock::now()), port, 0, 0),
                               error)) {
                    std::fprintf(stderr, "writer %d: %s\n", w, error.c_str());
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
    std::string error;
    const auto store = OpenStore(target, Access::kRead, error);
    ASSERT_TRUE(store) << error;
    std::vector<JobRow> found;
    ASSERT_TRUE(store->List({}, found, error)) << error;
    EXPECT_EQ(found.size(), static_cast<size_t>(writers * rows));
    std::set<int64_t> ids;
    for (const JobRow& row : found) ids.insert(row.id);
    EXPECT_EQ(ids.size(), found.size());
    for (int w = 0; w < writers; ++w) {
        Filter filter;
        filter.port = "KORVEL" + std::to_string(10 + w);
        ASSERT_TRUE(store->List(filter, found, error)) << error;
        EXPECT_EQ(found.size(), static_cast<size_t>(rows)) << *filter.port;
    }
}

TEST(JobLogProcessTest, WritersOnOneSqliteFileAtOnceLoseNoRow) {
    TempDir dir;
    const std::string target = dir.path + "/jobs.db";
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
        if (dir_.path.empty()) return (why = "no temporary directory"), false;
        bin_ = FindBin();
        if (bin_.empty()) return (why = "no initdb found (package postgresql)"), false;
        std::string as;
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (nobody == nullptr ||
                chown(dir_.path.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
                return (why = "cannot hand the directory to the user nobody"), false;
            }
            as = "runuser -u nobody -- ";
        }
        const std::string data = dir_.path + "/data";
        const Outcome init =
            Shell(dir_.path, "cd " + Quoted(dir_.path) + " && " + as + Quoted(bin_ + "/initdb") +
                                 " -D " + Quoted(data) + " -U korvel -A trust -E UTF8 --no-sync");
        if (init.code != 0) return (why = "initdb failed: " + init.err), false;
        const Outcome start = Shell(
            dir_.path, "cd " + Quoted(dir_.path) + " && " + as + Quoted(bin_ + "/pg_ctl") + " -D " +
                           Quoted(data) + " -l " + Quoted(dir_.path + "/server.log") +
                           " -w -t 60 -o " + Quoted("-h '' -k " + dir_.path + " -F") + " start");
        if (start.code != 0) {
            return (why =
                        "pg_ctl start failed: " + start.err + ReadText(dir_.path + "/server.log")),
                   false;
        }
        stop_ = "cd " + Quoted(dir_.path) + " && " + as + Quoted(bin_ + "/pg_ctl") + " -D " +
                Quoted(data) + " -m immediate -w stop";
        address = "postgresql:///postgres?host=" + dir_.path + "&user=korvel";
        return true;
    }
    ~PostgresServer() {
        if (!stop_.empty()) Shell(dir_.path, stop_);
    }

    std::string address;

  private:
    static std::string FindBin() {
        std::vector<std::string> candidates;
        if (FILE* pipe = popen("pg_config --bindir 2>/dev/null", "r")) {
            char line[512] = {};
            if (fgets(line, sizeof line, pipe)) candidates.push_back(Lines(line)[0]);
            pclose(pipe);
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
    std::string bin_;
    std::string stop_;
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
    const Outcome stats = CordaneLog(dir.path, "--stats --csv --log " + Quoted(server.address));
    EXPECT_EQ(stats.code, 0) << stats.err;
    EXPECT_EQ(stats.out,
              "exit_code,result,reader_type,reader_name,jobs\n"
              "0,completed,0,KvTal (64 Kb),60\n");
    // A server that is not there: the reason, naming the address.
    const std::string gone = "postgresql:///postgres?host=" + dir.path + "&user=korvel";
    const Outcome refused = CordaneLog(dir.path, "--log " + Quoted(gone));
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("cannot read the job log " + gone + ": PostgreSQL: "),
              std::string::npos)
        << refused.err;
}

TEST(JobLogProcessTest, CordaneLogFiltersAndPrintsAsTableCsvJsonAndCounts) {
    TempDir dir;
    const std::string target = dir.path + "/jobs.db";
    std::string error;
    const auto store = OpenStore(target, Access::kWrite, error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->Append(Row("2026-12-07T23:59:59.999Z", "KORVEL01", 0, 0), error));
    ASSERT_TRUE(store->Append(Row("2026-12-08T08:00:00.000Z", "KORVEL01", 0, 5), error));
    ASSERT_TRUE(store->Append(Row("2026-12-08T08:00:01.000Z", "KORVEL02", 5, 0), error));
    ASSERT_TRUE(store->Append(Row("2026-12-08T09:30:00.000Z", "KORVEL01", 0, 4), error));

    const Outcome table = CordaneLog(dir.path, "--log " + Quoted(target));
    EXPECT_EQ(table.code, 0) << table.err;
    const std::vector<std::string> lines = Lines(table.out);
    ASSERT_EQ(lines.size(), 6u) << table.out;
    EXPECT_EQ(lines[0].rfind("STARTED (UTC)", 0), 0u);
    EXPECT_NE(lines[2].find("KORVEL01"), std::string::npos);
    EXPECT_NE(lines[2].find("no response"), std::string::npos);
    EXPECT_NE(lines[2].find("1,024"), std::string::npos);
    EXPECT_EQ(lines[5], "4 jobs");

    // The port's failed jobs since a date, as CSV, the target taken from KORVEL_LOG.
    const Outcome csv = CordaneLog(dir.path, "--since 2026-12-08 --port KORVEL01 --failed --csv",
                                   "KORVEL_LOG=" + Quoted(target));
    EXPECT_EQ(csv.code, 0) << csv.err;
    const std::vector<std::string> rows = Lines(csv.out);
    ASSERT_EQ(rows.size(), 3u) << csv.out;
    EXPECT_EQ(rows[0].rfind("id,started_utc,ended_utc,host,port,", 0), 0u);
    EXPECT_EQ(rows[1].rfind("2,2026-12-08T08:00:00.000Z,", 0), 0u) << rows[1];
    EXPECT_NE(rows[1].find(",\"/line/app, \"\"final\"\".sre\","), std::string::npos) << rows[1];
    EXPECT_NE(rows[1].find(",5,no response,1024,2500,cordane 0.1.0"), std::string::npos) << rows[1];
    EXPECT_EQ(rows[2].rfind("4,2026-12-08T09:30:00.000Z,", 0), 0u) << rows[2];

    const Outcome json =
        CordaneLog(dir.path, "--log " + Quoted(target) + " --since 2026-12-08T08:00:01Z --json");
    EXPECT_EQ(json.code, 0) << json.err;
    ASSERT_EQ(Lines(json.out).size(), 2u) << json.out;
    EXPECT_EQ(Lines(json.out)[0].rfind("{\"id\":3,\"started_utc\":\"2026-12-08T08:00:01.000Z\"", 0),
              0u)
        << json.out;
    EXPECT_NE(Lines(json.out)[0].find("\"reader_type\":5,\"reader_name\":\"KvOrb1Mb\""),
              std::string::npos);
    EXPECT_NE(Lines(json.out)[0].find("\"driver_path\":null"), std::string::npos);

    const Outcome stats = CordaneLog(dir.path, "--log " + Quoted(target) + " --stats --json");
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
    const Outcome missing = CordaneLog(dir.path, "--log " + Quoted(dir.path + "/none.db"));
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("cannot read the job log " + dir.path +
                               "/none.db: No such file or directory; give the target"),
              std::string::npos)
        << missing.err;
    const Outcome none = CordaneLog(dir.path, "--failed");
    EXPECT_EQ(none.code, 2);
    EXPECT_NE(none.err.find("no job log given"), std::string::npos) << none.err;
    for (const char* since : {"yesterday", "2026-02-30", "2026-12-08T24:00", "-5m", "5w"}) {
        const Outcome bad = CordaneLog(dir.path, "--log " + Quoted(target) + " --since " + since);
        EXPECT_EQ(bad.code, 2) << since;
        EXPECT_NE(bad.err.find(std::string("bad --since \"") + since + "\""), std::string::npos)
            << bad.err;
    }
}

}  // namespace
