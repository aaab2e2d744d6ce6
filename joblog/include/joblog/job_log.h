// The log of download jobs: one row per job, in an SQLite file for one station or in a PostgreSQL
// database that every station of a line writes to. Both hold the same table, created or upgraded
// on first use; `cordane download --log`, `cordane log` and Brenmark use this library, which knows
// neither the engine nor a toolkit.
//
// A target is a file path (SQLite, in WAL mode with a busy time-out, so that the downloads of one
// station writing at once all get their row), or a PostgreSQL database: a "postgresql://" (or
// "postgres://") address, or libpq's key=value words ("host=db dbname=korvel user=line"). An
// SQLite file must not be shared over a network file system: its locks do not hold there.
//
// No wait for a database is endless: a PostgreSQL server is given 10 s to connect and the session
// 10 s for a lock (12 s for a statement); an SQLite file waits 10 s for the other writers. A Stop
// ends any wait at once.
#ifndef KORVEL_JOBLOG_JOB_LOG_H
#define KORVEL_JOBLOG_JOB_LOG_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/wait.h"

namespace korvel::joblog {

// The schema this library writes: the SQLite file's user_version, the version row of the
// korvel_schema table on PostgreSQL. A newer version is written to as it is: upgrades only add.
inline constexpr int kSchemaVersion = 1;
// The environment variable that names the target when no --log is given.
inline constexpr const char kTargetVariable[] = "KORVEL_LOG";

// A file of the job: what was downloaded, fingerprinted before the job starts.
struct FileRecord {
    std::string path;             // empty: no such file in the job
    std::optional<int64_t> size;  // nothing when it could not be read
    std::string sha256;           // 64 hex digits; empty when it could not be read
};

struct JobRow {
    int64_t id = 0;          // given by the database
    std::string startedUtc;  // "2026-12-08T09:15:16.123Z"
    std::string endedUtc;
    std::string host;
    std::string port;             // as the operator named it: "KORVEL03", "COM1", "/dev/ttyUSB0"
    int readerType = -1;          // 0 to 9; -1 unknown
    std::string readerName;       // "KvOrb (64 Kb)"
    bool readerDetected = false;  // found by detection rather than given
    int downloadType = 0;         // 0 normal, 1 automatic binary, 2 binary, 3 erase code
    FileRecord application;
    FileRecord driver;
    int exitCode = 0;
    std::string result;                // the outcome in a few words, as the caller gives it
    std::optional<int64_t> bytesSent;  // nothing when the image size is not known
    int64_t durationMs = 0;
    std::string tool;  // "cordane 0.1.0", "brenmark 0.1.0"
};

// Counts of jobs per result and reader type.
struct StatsRow {
    int exitCode = 0;
    std::string result;
    int readerType = -1;
    std::string readerName;
    int64_t jobs = 0;
};

struct Filter {
    std::optional<std::string> sinceUtc;  // jobs started at or after this UtcText
    std::optional<std::string> port;
    bool failedOnly = false;  // exit code other than 0
};

// "2026-12-08T09:15:16.123Z".
std::string UtcText(std::chrono::system_clock::time_point time);
// Ends `row` now: its end time, its duration since `start`, its exit code and the text of that
// outcome, which the caller gives (the job log stores it as it is).
void EndRow(JobRow& row, int exitCode, std::string result,
            std::chrono::steady_clock::time_point start);
// This machine's name ("unknown" when it has none).
std::string HostName();
// The size and SHA-256 of the file at `path`, read now; an empty path gives an empty record.
FileRecord DescribeFile(const std::string& path);
enum class TargetKind {
    kSqlite,    // a file path
    kPostgres,  // a postgresql:// or postgres:// address, or libpq's key=value words
    kRefused,   // neither
};
// Which database the target names. Words that begin "keyword=" are libpq's key=value form. A
// target is refused when it holds a control character, is an address of another kind
// ("mysql://..."), or begins or ends with a space; `why`, when given, then says so and what to
// give instead.
TargetKind ClassifyTarget(const std::string& target, std::string* why);
// Whether the target names a PostgreSQL database.
bool IsPostgresTarget(const std::string& target);
// The target as it may be shown: its passwords replaced by "***", control characters escaped.
std::string ShownTarget(const std::string& target);
// A message about the target (a database's error that may quote it) as it may be shown: the
// target's passwords, as written or decoded, and any password written as an address or libpq's
// words write one, replaced by "***"; control characters other than new lines and tabs escaped.
// The errors this library returns are shown this way already.
std::string ShownMessage(const std::string& message, const std::string& target);

// What ends a wait for the database at once: something that becomes ready (the program's
// interrupts, say); it is waited for, never taken. The statement under way is then cancelled,
// and `stopped` set. Kept by the caller as long as the store it was given to.
struct Stop {
    std::optional<base::Waitable> when;  // nothing: only the time-outs end a wait
    bool stopped = false;                // a wait was ended by `when`
};

// The failures below are the database's reasons (or the job log's), without the target: the
// caller names it (ShownTarget) in a sentence of its own. They never show a password.
class Store {
  public:
    virtual ~Store() = default;
    virtual base::Expected<void> Append(const JobRow& row) = 0;
    // The jobs that pass the filter, oldest first.
    virtual base::Expected<std::vector<JobRow>> List(const Filter& filter) = 0;
    virtual base::Expected<std::vector<StatsRow>> Stats(const Filter& filter) = 0;
};

enum class Access {
    kWrite,  // created when missing, the table created or upgraded
    kRead,   // must exist and hold a job log
};

// Opens the target. `stop`, when given, ends the store's waits.
base::Expected<std::unique_ptr<Store>> OpenStore(const std::string& target, Access access,
                                                 Stop* stop = nullptr);

// Opens the target for writing and appends the row. Stopped by `stop`, it fails unless the
// database had written the row before the cancel reached it.
base::Expected<void> AppendJob(const std::string& target, const JobRow& row, Stop* stop = nullptr);

}  // namespace korvel::joblog

#endif
