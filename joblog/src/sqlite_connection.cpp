// The job log in an SQLite file: one station's downloads, written by several processes at once.
// WAL mode lets readers go on while a row is written; the busy time-out (and a statement run again
// where SQLite will not wait) makes a writer wait for the others instead of failing, so no row is
// lost to a lock. The waits are this file's own, so that a Stop ends them.
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <random>
#include <system_error>

#include "connection.h"
#include "job_sql.h"

namespace korvel::joblog {

namespace {

// The wait for the other writers: a row takes them milliseconds.
constexpr std::chrono::milliseconds kBusyTimeout{10000};
constexpr int kLongestPauseMs = 20;  // between two looks at a lock held by another writer
// A statement whose parameters do not match its text: a fault of the job log's own.
constexpr int kUnknownParameter = -1;

// 0 to 2, drawn once per process: processes that met at a lock do not all look again together.
int ProcessSpread() {
    static const int spread = static_cast<int>(std::random_device{}() % 3);
    return spread;
}

struct StatementCloser {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using PreparedStatement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

// Binds `parameter` by its type to parameter `index`.
int Bind(sqlite3_stmt* statement, int index, const Parameter& parameter) {
    if (const auto* number = std::get_if<int64_t>(&parameter)) {
        return sqlite3_bind_int64(statement, index, *number);
    }
    if (const auto* text = std::get_if<std::string>(&parameter)) {
        return sqlite3_bind_text(statement, index, text->c_str(), -1, SQLITE_TRANSIENT);
    }
    return sqlite3_bind_null(statement, index);
}

class SqliteConnection : public Connection {
  public:
    SqliteConnection(sqlite3* db, Stop* stop) : db_(db), stop_(stop) {
        if (db_ != nullptr) sqlite3_busy_handler(db_, &SqliteConnection::BusyWait, this);
    }
    ~SqliteConnection() override { sqlite3_close_v2(db_); }

    Dialect Kind() const override { return Dialect::kSqlite; }
    bool Interrupted() const override { return Stopped(); }

    base::Expected<std::vector<Row>> Run(const Statement& statement) override {
        // The busy time-out covers most waits for another writer, but SQLite answers "busy" at
        // once where waiting could deadlock or while another process recovers the write-ahead
        // log. A statement outside a transaction is then run again until the same time-out.
        const auto deadline = std::chrono::steady_clock::now() + kBusyTimeout;
        for (int attempt = 0;; ++attempt) {
            std::vector<Row> rows;
            const int result = RunOnce(statement, rows);
            if (result == SQLITE_DONE) return rows;
            const int primary = result & 0xFF;
            const bool busy = primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
            if (!busy || !sqlite3_get_autocommit(db_) || Stopped() ||
                std::chrono::steady_clock::now() >= deadline) {
                return Failure(result, statement);
            }
            // A few milliseconds, longer as the attempts go on, different in each process.
            const int wait = std::min(2 + attempt, kLongestPauseMs) + ProcessSpread();
            if (WaitFor(kNoSocket, base::SocketEvent::Readable, stop_,
                        std::chrono::steady_clock::now() + std::chrono::milliseconds(wait)) ==
                Wake::kStopped) {
                return Failure(result, statement);
            }
        }
    }

  private:
    // One run of the statement: SQLITE_DONE, or the code it failed with.
    int RunOnce(const Statement& statement, std::vector<Row>& rows) {
        sqlite3_stmt* raw = nullptr;
        const int prepared = sqlite3_prepare_v2(db_, statement.sql.c_str(), -1, &raw, nullptr);
        if (prepared != SQLITE_OK) return prepared;
        const PreparedStatement owned(raw);
        const std::vector<Parameter>& parameters = statement.parameters;
        if (sqlite3_bind_parameter_count(raw) != static_cast<int>(parameters.size())) {
            return kUnknownParameter;
        }
        for (size_t i = 0; i < parameters.size(); ++i) {
            std::string name = std::to_string(i + 1);
            name.insert(name.begin(), '$');  // appended piece by piece: GCC 12 -O3 -Wrestrict
            const int index = sqlite3_bind_parameter_index(raw, name.c_str());
            if (index == 0) return kUnknownParameter;
            const int bound = Bind(raw, index, parameters[i]);
            if (bound != SQLITE_OK) return bound;
        }
        for (;;) {
            const int step = sqlite3_step(raw);
            if (step == SQLITE_DONE) return SQLITE_DONE;
            if (step != SQLITE_ROW) return step;
            Row row;
            const int columns = sqlite3_column_count(raw);
            for (int c = 0; c < columns; ++c) {
                if (sqlite3_column_type(raw, c) == SQLITE_NULL) {
                    row.push_back(std::nullopt);
                } else {
                    const auto* text = sqlite3_column_text(raw, c);
                    row.push_back(std::string(reinterpret_cast<const char*>(text),
                                              static_cast<size_t>(sqlite3_column_bytes(raw, c))));
                }
            }
            rows.push_back(std::move(row));
        }
    }

    base::Error Failure(int result, const Statement& statement) const {
        if (Stopped()) return base::Fail("stopped while waiting for the file's other writers");
        if (result == kUnknownParameter) {
            return base::Fail("SQLite: the parameters do not match the statement \"" +
                              statement.sql + "\"");
        }
        return base::Fail(std::string("SQLite: ") + sqlite3_errmsg(db_));
    }
    bool Stopped() const { return stop_ != nullptr && stop_->stopped; }

    // SQLite's wait for a lock another connection holds: short pauses until the busy time-out,
    // each ended at once by a stop. Zero gives up.
    static int BusyWait(void* self, int count) {
        auto* connection = static_cast<SqliteConnection*>(self);
        const auto now = std::chrono::steady_clock::now();
        if (count == 0) connection->busySince_ = now;
        if (connection->Stopped() || now - connection->busySince_ >= kBusyTimeout) return 0;
        const auto pause = std::chrono::milliseconds(std::min(count + 1, kLongestPauseMs));
        return WaitFor(kNoSocket, base::SocketEvent::Readable, connection->stop_, now + pause) ==
                       Wake::kStopped
                   ? 0
                   : 1;
    }

    sqlite3* db_;
    Stop* stop_;
    std::chrono::steady_clock::time_point busySince_;
};

}  // namespace

base::Expected<std::unique_ptr<Connection>> OpenSqlite(const std::string& path, Access access,
                                                       Stop* stop) {
    // The path is UTF-8, as SQLite takes it on every system.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(
        std::filesystem::path(std::u8string(path.begin(), path.end())), error);
    if (status.type() == std::filesystem::file_type::not_found) {
        if (access == Access::kRead) {
            return base::Fail(std::generic_category().message(ENOENT));
        }
    } else if (error) {
        return base::Fail(error.message());
    } else if (status.type() != std::filesystem::file_type::regular) {
        return base::Fail("not a regular file: give the path of an SQLite file");
    }
    sqlite3* db = nullptr;
    const int flags = access == Access::kWrite ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                               : SQLITE_OPEN_READONLY;
    const int opened = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    auto connection = std::make_unique<SqliteConnection>(db, stop);
    if (opened != SQLITE_OK || db == nullptr) {
        return base::Fail(std::string("SQLite: ") + (db ? sqlite3_errmsg(db) : "out of memory"));
    }
    if (access == Access::kWrite) KORVEL_TRY(connection->Run(sql::WriteAheadLog()));
    return std::unique_ptr<Connection>(std::move(connection));
}

}  // namespace korvel::joblog
