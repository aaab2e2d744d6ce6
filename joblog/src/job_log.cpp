#include "joblog/job_log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

#include "connection.h"
#include "sha256.h"

namespace korvel::joblog {

namespace {

constexpr const char* kColumns =
    "started_utc, ended_utc, host, port, reader_type, reader_name, reader_detected, "
    "download_type, application_path, application_size, application_sha256, driver_path, "
    "driver_size, driver_sha256, exit_code, result, bytes_sent, duration_ms, tool_version";
constexpr int kColumnCount = 19;

Value Text(const std::string& text) {
    return text;
}
Value Number(int64_t number) {
    return std::to_string(number);
}
Value OptionalNumber(const std::optional<int64_t>& number) {
    return number ? Number(*number) : std::nullopt;
}
Value OptionalText(const std::string& text) {
    return text.empty() ? std::nullopt : Value(text);
}

int64_t ToNumber(const Value& value, int64_t otherwise = 0) {
    if (!value) return otherwise;
    char* end = nullptr;
    const long long number = std::strtoll(value->c_str(), &end, 10);
    return end != value->c_str() ? number : otherwise;
}
std::optional<int64_t> ToOptionalNumber(const Value& value) {
    if (!value) return std::nullopt;
    return ToNumber(value);
}
std::string ToText(const Value& value) {
    return value.value_or("");
}
int ToInt(const Value& value, int otherwise) {
    const int64_t number = ToNumber(value, otherwise);
    return number >= INT_MIN && number <= INT_MAX ? static_cast<int>(number) : otherwise;
}

// " WHERE ..." for the filter, its parameters appended to `parameters`.
std::string WhereClause(const Filter& filter, std::vector<Value>& parameters) {
    std::vector<std::string> conditions;
    if (filter.sinceUtc) {
        parameters.push_back(*filter.sinceUtc);
        conditions.push_back("started_utc >= $" + std::to_string(parameters.size()));
    }
    if (filter.port) {
        parameters.push_back(*filter.port);
        conditions.push_back("port = $" + std::to_string(parameters.size()));
    }
    if (filter.failedOnly) conditions.push_back("exit_code <> 0");
    std::string clause;
    for (const std::string& condition : conditions) {
        clause += (clause.empty() ? " WHERE " : " AND ") + condition;
    }
    return clause;
}

class DatabaseStore : public Store {
  public:
    // The target names the passwords its errors must not show.
    DatabaseStore(std::unique_ptr<Connection> connection, std::string target)
        : connection_(std::move(connection)), target_(std::move(target)) {}

    bool Append(const JobRow& row, std::string& error) override {
        const std::vector<Value> values = {
            Text(row.startedUtc),
            Text(row.endedUtc),
            Text(row.host),
            Text(row.port),
            row.readerType >= 0 ? Number(row.readerType) : std::nullopt,
            OptionalText(row.readerName),
            Number(row.readerDetected ? 1 : 0),
            Number(row.downloadType),
            OptionalText(row.application.path),
            OptionalNumber(row.application.size),
            OptionalText(row.application.sha256),
            OptionalText(row.driver.path),
            OptionalNumber(row.driver.size),
            OptionalText(row.driver.sha256),
            Number(row.exitCode),
            Text(row.result),
            OptionalNumber(row.bytesSent),
            Number(row.durationMs),
            Text(row.tool),
        };
        std::string sql = std::string("INSERT INTO korvel_jobs (") + kColumns + ") VALUES (";
        for (int i = 1; i <= kColumnCount; ++i) {
            sql += (i > 1 ? ", $" : "$") + std::to_string(i);
        }
        sql += ")";
        return Run(sql, values, nullptr, error);
    }

    bool List(const Filter& filter, std::vector<JobRow>& rows, std::string& error) override {
        std::vector<Value> parameters;
        const std::string sql = std::string("SELECT id, ") + kColumns + " FROM korvel_jobs" +
                                WhereClause(filter, parameters) + " ORDER BY started_utc, id";
        std::vector<Row> found;
        if (!Run(sql, parameters, &found, error)) return false;
        rows.clear();
        for (const Row& values : found) {
            if (values.size() != kColumnCount + 1) continue;
            JobRow row;
            size_t i = 0;
            row.id = ToNumber(values[i++]);
            row.startedUtc = ToText(values[i++]);
            row.endedUtc = ToText(values[i++]);
            row.host = ToText(values[i++]);
            row.port = ToText(values[i++]);
            row.readerType = ToInt(values[i++], -1);
            row.readerName = ToText(values[i++]);
            row.readerDetected = ToNumber(values[i++]) != 0;
            row.downloadType = ToInt(values[i++], 0);
            row.application.path = ToText(values[i++]);
            row.application.size = ToOptionalNumber(values[i++]);
            row.application.sha256 = ToText(values[i++]);
            row.driver.path = ToText(values[i++]);
            row.driver.size = ToOptionalNumber(values[i++]);
            row.driver.sha256 = ToText(values[i++]);
            row.exitCode = ToInt(values[i++], 0);
            row.result = ToText(values[i++]);
            row.bytesSent = ToOptionalNumber(values[i++]);
            row.durationMs = ToNumber(values[i++]);
            row.tool = ToText(values[i++]);
            rows.push_back(std::move(row));
        }
        return true;
    }

    bool Stats(const Filter& filter, std::vector<StatsRow>& rows, std::string& error) override {
        std::vector<Value> parameters;
        const std::string sql =
            "SELECT exit_code, result, reader_type, reader_name, COUNT(*) FROM korvel_jobs" +
            WhereClause(filter, parameters) +
            " GROUP BY exit_code, result, reader_type, reader_name"
            " ORDER BY exit_code, result, reader_type, reader_name";
        std::vector<Row> found;
        if (!Run(sql, parameters, &found, error)) return false;
        rows.clear();
        for (const Row& values : found) {
            if (values.size() != 5) continue;
            rows.push_back({ToInt(values[0], 0), ToText(values[1]), ToInt(values[2], -1),
                            ToText(values[3]), ToNumber(values[4])});
        }
        return true;
    }

  private:
    bool Run(const std::string& sql, const std::vector<Value>& parameters, std::vector<Row>* rows,
             std::string& error) {
        if (connection_->Run(sql, parameters, rows, error)) return true;
        error = ShownMessage(error, target_);
        return false;
    }

    std::unique_ptr<Connection> connection_;
    std::string target_;
};

}  // namespace

Wake WaitFor(int fd, short events, Stop* stop,
             std::optional<std::chrono::steady_clock::time_point> deadline) {
    const int stopFd = stop != nullptr ? stop->fd : -1;
    for (;;) {
        pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd, events, 0}};
        int timeout = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *deadline - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
        }
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return Wake::kReady;
        if (stopFd >= 0 && fds[0].revents != 0) {
            stop->stopped = true;
            return Wake::kStopped;
        }
        if (fd >= 0 && fds[1].revents != 0) return Wake::kReady;
        if (deadline && std::chrono::steady_clock::now() >= *deadline) return Wake::kTimeUp;
    }
}

std::vector<std::string> UpgradeStatements(int from, bool postgres) {
    std::vector<std::string> statements;
    if (from < 1) {
        statements.push_back(
            std::string("CREATE TABLE IF NOT EXISTS korvel_jobs (") +
            (postgres ? "id BIGSERIAL PRIMARY KEY, " : "id INTEGER PRIMARY KEY, ") +
            "started_utc TEXT NOT NULL, ended_utc TEXT NOT NULL, host TEXT NOT NULL, "
            "port TEXT NOT NULL, reader_type INTEGER, reader_name TEXT, "
            "reader_detected INTEGER NOT NULL DEFAULT 0, download_type INTEGER NOT NULL, "
            "application_path TEXT, application_size BIGINT, application_sha256 TEXT, "
            "driver_path TEXT, driver_size BIGINT, driver_sha256 TEXT, "
            "exit_code INTEGER NOT NULL, result TEXT NOT NULL, bytes_sent BIGINT, "
            "duration_ms BIGINT NOT NULL, tool_version TEXT NOT NULL)");
        statements.push_back(
            "CREATE INDEX IF NOT EXISTS korvel_jobs_started ON korvel_jobs (started_utc)");
    }
    return statements;
}

std::string UtcText(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto since = time.time_since_epoch();
    const time_t seconds = static_cast<time_t>(floor<std::chrono::seconds>(since).count());
    const auto millis = duration_cast<milliseconds>(since).count() % 1000;
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(millis < 0 ? millis + 1000 : millis));
    return text;
}

void EndRow(JobRow& row, int exitCode, std::string result,
            std::chrono::steady_clock::time_point start) {
    row.endedUtc = UtcText(std::chrono::system_clock::now());
    row.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
    row.exitCode = exitCode;
    row.result = std::move(result);
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "unknown";
    return name;
}

FileRecord DescribeFile(const std::string& path) {
    FileRecord record;
    record.path = path;
    if (path.empty()) return record;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return record;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        Sha256 sha;
        uint8_t buffer[65536];
        int64_t size = 0;
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                size = -1;
                break;
            }
            if (got == 0) break;
            sha.Update(buffer, static_cast<size_t>(got));
            size += got;
        }
        if (size >= 0) {
            record.size = size;
            record.sha256 = HexDigest(sha.Finish());
        }
    }
    ::close(fd);
    return record;
}

std::unique_ptr<Store> OpenStore(const std::string& target, Access access, std::string& error,
                                 Stop* stop) {
    std::unique_ptr<Connection> connection;
    switch (ClassifyTarget(target, &error)) {
        case TargetKind::kRefused:
            return nullptr;
        case TargetKind::kPostgres:
            connection = OpenPostgres(target, access, error, stop);
            break;
        case TargetKind::kSqlite:
            connection = OpenSqlite(target, access, error, stop);
            break;
    }
    if (!connection || !connection->PrepareSchema(access, error)) {
        error = ShownMessage(error, target);
        return nullptr;
    }
    return std::make_unique<DatabaseStore>(std::move(connection), target);
}

bool AppendJob(const std::string& target, const JobRow& row, std::string& error, Stop* stop) {
    const std::unique_ptr<Store> store = OpenStore(target, Access::kWrite, error, stop);
    return store && store->Append(row, error);
}

}  // namespace korvel::joblog
