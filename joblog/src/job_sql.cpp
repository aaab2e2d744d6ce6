#include "job_sql.h"

#include <climits>
#include <cstdlib>
#include <string>
#include <utility>

namespace korvel::joblog::sql {

namespace {

constexpr const char* kColumns =
    "started_utc, ended_utc, host, port, reader_type, reader_name, reader_detected, "
    "download_type, application_path, application_size, application_sha256, driver_path, "
    "driver_size, driver_sha256, exit_code, result, bytes_sent, duration_ms, tool_version";
constexpr size_t kColumnCount = 19;

// PostgreSQL's session time-outs (see LimitWaits). The statement's is a little longer, so that a
// wait for a lock is told as such.
constexpr const char kLockTimeout[] = "10s";
constexpr const char kStatementTimeout[] = "12s";
constexpr const char kSchemaLockKey[] = "1263489622";  // "KORV": the job log's schema lock

// ---- Parameters, by type

Parameter Null() {
    return std::monostate{};
}
Parameter Integer(int64_t number) {
    return number;
}
Parameter Text(std::string text) {
    return text;
}
Parameter OptionalInteger(const std::optional<int64_t>& number) {
    return number ? Integer(*number) : Null();
}
// An empty text is stored as NULL.
Parameter OptionalText(const std::string& text) {
    return text.empty() ? Null() : Text(text);
}

// ---- Columns, read back from their text

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

// The integer in the first column of the first row; 0 when there is none.
int FirstInteger(const std::vector<Row>& rows) {
    return rows.empty() || rows[0].empty() || !rows[0][0] ? 0 : std::stoi(*rows[0][0]);
}

// " WHERE ..." for the filter, its parameters appended to `parameters`.
std::string WhereClause(const Filter& filter, std::vector<Parameter>& parameters) {
    std::vector<std::string> conditions;
    if (filter.sinceUtc) {
        parameters.push_back(Text(*filter.sinceUtc));
        conditions.push_back("started_utc >= $" + std::to_string(parameters.size()));
    }
    if (filter.port) {
        parameters.push_back(Text(*filter.port));
        conditions.push_back("port = $" + std::to_string(parameters.size()));
    }
    if (filter.failedOnly) conditions.push_back("exit_code <> 0");
    std::string clause;
    for (const std::string& condition : conditions) {
        clause += (clause.empty() ? " WHERE " : " AND ") + condition;
    }
    return clause;
}

// ---- The schema

// The statements that take a database from schema version `from` to kSchemaVersion. The job
// table's key is the only difference between the databases.
std::vector<Statement> UpgradeStatements(int from, Dialect dialect) {
    std::vector<Statement> statements;
    if (from < 1) {
        statements.push_back(
            {std::string("CREATE TABLE IF NOT EXISTS korvel_jobs (") +
                 (dialect == Dialect::kPostgres ? "id BIGSERIAL PRIMARY KEY, "
                                                : "id INTEGER PRIMARY KEY, ") +
                 "started_utc TEXT NOT NULL, ended_utc TEXT NOT NULL, host TEXT NOT NULL, "
                 "port TEXT NOT NULL, reader_type INTEGER, reader_name TEXT, "
                 "reader_detected INTEGER NOT NULL DEFAULT 0, download_type INTEGER NOT NULL, "
                 "application_path TEXT, application_size BIGINT, application_sha256 TEXT, "
                 "driver_path TEXT, driver_size BIGINT, driver_sha256 TEXT, "
                 "exit_code INTEGER NOT NULL, result TEXT NOT NULL, bytes_sent BIGINT, "
                 "duration_ms BIGINT NOT NULL, tool_version TEXT NOT NULL)",
             {}});
        statements.push_back(
            {"CREATE INDEX IF NOT EXISTS korvel_jobs_started ON korvel_jobs (started_utc)", {}});
    }
    return statements;
}

// Ends a transaction: committed when its steps succeeded, else rolled back and their failure
// answered.
base::Expected<void> EndTransaction(Connection& connection, base::Expected<void> steps) {
    if (!steps) {
        (void)connection.Run({"ROLLBACK", {}});
        return steps;
    }
    KORVEL_TRY(connection.Run({"COMMIT", {}}));
    return {};
}

// SQLite keeps the schema's version in the file's user_version.
base::Expected<int> SqliteVersion(Connection& connection) {
    KORVEL_ASSIGN_OR_RETURN(const std::vector<Row> rows,
                            connection.Run({"PRAGMA user_version", {}}));
    return FirstInteger(rows);
}

// The upgrade under the write lock: the version read again, since another process may have just
// made the schema.
base::Expected<void> UpgradeSqlite(Connection& connection) {
    KORVEL_ASSIGN_OR_RETURN(const int version, SqliteVersion(connection));
    if (version >= kSchemaVersion) return {};
    for (const Statement& statement : UpgradeStatements(version, Dialect::kSqlite)) {
        KORVEL_TRY(connection.Run(statement));
    }
    KORVEL_TRY(connection.Run({"PRAGMA user_version = " + std::to_string(kSchemaVersion), {}}));
    return {};
}

base::Expected<void> PrepareSqlite(Connection& connection, Access access) {
    KORVEL_ASSIGN_OR_RETURN(const int version, SqliteVersion(connection));
    if (access == Access::kRead) {
        if (version > 0) return {};
        KORVEL_ASSIGN_OR_RETURN(
            const std::vector<Row> tables,
            connection.Run({"SELECT name FROM sqlite_master WHERE name = 'korvel_jobs'", {}}));
        if (tables.empty()) {
            return base::Fail("the file holds no job log (no download has written to it)");
        }
        return {};
    }
    if (version >= kSchemaVersion) return {};
    // The write lock first, then the version again.
    KORVEL_TRY(connection.Run({"BEGIN IMMEDIATE", {}}));
    return EndTransaction(connection, UpgradeSqlite(connection));
}

// PostgreSQL keeps the schema's version in a table of its own, korvel_schema, changed under an
// advisory lock so that stations starting together do not race to make the schema.
base::Expected<void> UpgradePostgres(Connection& connection) {
    KORVEL_TRY(connection.Run({"BEGIN", {}}));
    KORVEL_TRY(
        connection.Run({std::string("SELECT pg_advisory_xact_lock(") + kSchemaLockKey + ")", {}}));
    KORVEL_TRY(connection.Run(
        {"CREATE TABLE IF NOT EXISTS korvel_schema (version INTEGER NOT NULL)", {}}));
    KORVEL_ASSIGN_OR_RETURN(
        const std::vector<Row> versions,
        connection.Run({"SELECT COALESCE(MAX(version), 0) FROM korvel_schema", {}}));
    const int version = FirstInteger(versions);
    if (version >= kSchemaVersion) return {};
    for (const Statement& statement : UpgradeStatements(version, Dialect::kPostgres)) {
        KORVEL_TRY(connection.Run(statement));
    }
    KORVEL_TRY(connection.Run({"DELETE FROM korvel_schema", {}}));
    KORVEL_TRY(connection.Run(
        {"INSERT INTO korvel_schema (version) VALUES ($1)", {Integer(kSchemaVersion)}}));
    return {};
}

base::Expected<void> PreparePostgres(Connection& connection, Access access) {
    if (access == Access::kRead) {
        KORVEL_ASSIGN_OR_RETURN(
            const std::vector<Row> rows,
            connection.Run({"SELECT to_regclass('korvel_jobs') IS NOT NULL", {}}));
        if (rows.empty() || rows[0].empty() || rows[0][0] != Value("t")) {
            return base::Fail("the database holds no job log (no download has written to it)");
        }
        return {};
    }
    // Most writes find the schema made: one query, without the lock.
    const base::Expected<std::vector<Row>> made =
        connection.Run({"SELECT MAX(version) FROM korvel_schema", {}});
    if (made && FirstInteger(*made) >= kSchemaVersion) return {};
    if (connection.Interrupted()) return made ? base::Fail("stopped") : made.error();
    return EndTransaction(connection, UpgradePostgres(connection));
}

}  // namespace

base::Expected<void> PrepareSchema(Connection& connection, Access access) {
    return connection.Kind() == Dialect::kPostgres ? PreparePostgres(connection, access)
                                                   : PrepareSqlite(connection, access);
}

Statement WriteAheadLog() {
    return {"PRAGMA journal_mode = WAL", {}};
}

Statement LimitWaits(Access access) {
    auto limit = [](const char* setting, const char* value) {
        return std::string("CASE WHEN current_setting('") + setting + "') = '0' THEN set_config('" +
               setting + "', '" + value + "', false) END";
    };
    std::string sql = "SELECT " + limit("lock_timeout", kLockTimeout);
    if (access == Access::kWrite) sql += ", " + limit("statement_timeout", kStatementTimeout);
    return {sql, {}};
}

Statement InsertJob(const JobRow& row) {
    Statement statement;
    statement.parameters = {
        Text(row.startedUtc),
        Text(row.endedUtc),
        Text(row.host),
        Text(row.port),
        row.readerType >= 0 ? Integer(row.readerType) : Null(),
        OptionalText(row.readerName),
        Integer(row.readerDetected ? 1 : 0),
        Integer(row.downloadType),
        OptionalText(row.application.path),
        OptionalInteger(row.application.size),
        OptionalText(row.application.sha256),
        OptionalText(row.driver.path),
        OptionalInteger(row.driver.size),
        OptionalText(row.driver.sha256),
        Integer(row.exitCode),
        Text(row.result),
        OptionalInteger(row.bytesSent),
        Integer(row.durationMs),
        Text(row.tool),
    };
    statement.sql = std::string("INSERT INTO korvel_jobs (") + kColumns + ") VALUES (";
    for (size_t i = 1; i <= kColumnCount; ++i) {
        statement.sql += (i > 1 ? ", $" : "$") + std::to_string(i);
    }
    statement.sql += ")";
    return statement;
}

Statement ListJobs(const Filter& filter) {
    Statement statement;
    statement.sql = std::string("SELECT id, ") + kColumns + " FROM korvel_jobs" +
                    WhereClause(filter, statement.parameters) + " ORDER BY started_utc, id";
    return statement;
}

std::optional<JobRow> JobFromRow(const Row& values) {
    if (values.size() != kColumnCount + 1) return std::nullopt;
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
    return row;
}

Statement CountJobs(const Filter& filter) {
    Statement statement;
    statement.sql =
        "SELECT exit_code, result, reader_type, reader_name, COUNT(*) FROM korvel_jobs" +
        WhereClause(filter, statement.parameters) +
        " GROUP BY exit_code, result, reader_type, reader_name"
        " ORDER BY exit_code, result, reader_type, reader_name";
    return statement;
}

std::optional<StatsRow> StatsFromRow(const Row& values) {
    if (values.size() != 5) return std::nullopt;
    return StatsRow{ToInt(values[0], 0), ToText(values[1]), ToInt(values[2], -1), ToText(values[3]),
                    ToNumber(values[4])};
}

}  // namespace korvel::joblog::sql
