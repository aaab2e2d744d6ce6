// The job log in an SQLite file: one station's downloads, written by several processes at once.
// WAL mode lets readers go on while a row is written; the busy time-out (and a statement run again
// where SQLite will not wait) makes a writer wait for the others instead of failing, so no row is
// lost to a lock. The waits are this file's own, so that a Stop ends them.
#include <sqlite3.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "connection.h"

namespace korvel::joblog {

namespace {

// The wait for the other writers: a row takes them milliseconds.
constexpr std::chrono::milliseconds kBusyTimeout{10000};
constexpr int kLongestPauseMs = 20;  // between two looks at a lock held by another writer

struct StatementCloser {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

class SqliteConnection : public Connection {
  public:
    SqliteConnection(sqlite3* db, Stop* stop) : db_(db), stop_(stop) {
        if (db_ != nullptr) sqlite3_busy_handler(db_, &SqliteConnection::BusyWait, this);
    }
    ~SqliteConnection() override { sqlite3_close_v2(db_); }

    bool Run(const std::string& sql, const std::vector<Value>& parameters, std::vector<Row>* rows,
             std::string& error) override {
        // The busy time-out covers most waits for another writer, but SQLite answers "busy" at
        // once where waiting could deadlock or while another process recovers the write-ahead
        // log. A statement outside a transaction is then run again until the same time-out.
        const auto deadline = std::chrono::steady_clock::now() + kBusyTimeout;
        const size_t kept = rows ? rows->size() : 0;
        for (int attempt = 0;; ++attempt) {
            const int result = RunOnce(sql, parameters, rows);
            if (result == SQLITE_DONE) return true;
            const int primary = result & 0xFF;
            const bool busy = primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
            if (!busy || !sqlite3_get_autocommit(db_) || Stopped() ||
                std::chrono::steady_clock::now() >= deadline) {
                return Fail(error);
            }
            if (rows) rows->resize(kept);
            // A few milliseconds, longer as the attempts go on, different in each process.
            const int wait =
                std::min(2 + attempt, kLongestPauseMs) + static_cast<int>(::getpid() % 3);
            if (WaitFor(-1, 0, stop_,
                        std::chrono::steady_clock::now() + std::chrono::milliseconds(wait)) ==
                Wake::kStopped) {
                return Fail(error);
            }
        }
    }

    bool PrepareSchema(Access access, std::string& error) override {
        int version = 0;
        if (!UserVersion(version, error)) return false;
        if (access == Access::kRead) {
            if (version > 0) return true;
            std::vector<Row> rows;
            if (!Run("SELECT name FROM sqlite_master WHERE name = 'korvel_jobs'", {}, &rows,
                     error)) {
                return false;
            }
            if (rows.empty()) {
                error = "the file holds no job log (no download has written to it)";
                return false;
            }
            return true;
        }
        if (version >= kSchemaVersion) return true;
        // The write lock first, then the version again: another process may have just made it.
        if (!Run("BEGIN IMMEDIATE", {}, nullptr, error)) return false;
        bool ok = UserVersion(version, error);
        if (ok && version < kSchemaVersion) {
            for (const std::string& statement : UpgradeStatements(version, false)) {
                if (!(ok = Run(statement, {}, nullptr, error))) break;
            }
            if (ok) {
                ok = Run("PRAGMA user_version = " + std::to_string(kSchemaVersion), {}, nullptr,
                         error);
            }
        }
        if (ok) return Run("COMMIT", {}, nullptr, error);
        std::string ignored;
        (void)Run("ROLLBACK", {}, nullptr, ignored);
        return false;
    }

  private:
    // One run of the statement: SQLITE_DONE, or the code it failed with.
    int RunOnce(const std::string& sql, const std::vector<Value>& parameters,
                std::vector<Row>* rows) {
        sqlite3_stmt* raw = nullptr;
        const int prepared = sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr);
        if (prepared != SQLITE_OK) return prepared;
        const Statement statement(raw);
        for (size_t i = 0; i < parameters.size(); ++i) {
            std::string name = std::to_string(i + 1);
            name.insert(name.begin(), '$');  // appended piece by piece: GCC 12 -O3 -Wrestrict
            const int index = sqlite3_bind_parameter_index(raw, name.c_str());
            if (index == 0) continue;
            const int bound = parameters[i] ? sqlite3_bind_text(raw, index, parameters[i]->c_str(),
                                                                -1, SQLITE_TRANSIENT)
                                            : sqlite3_bind_null(raw, index);
            if (bound != SQLITE_OK) return bound;
        }
        for (;;) {
            const int step = sqlite3_step(raw);
            if (step == SQLITE_DONE) return SQLITE_DONE;
            if (step != SQLITE_ROW) return step;
            if (!rows) continue;
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
            rows->push_back(std::move(row));
        }
    }

    bool Fail(std::string& error) {
        error = Stopped() ? "stopped while waiting for the file's other writers"
                          : std::string("SQLite: ") + sqlite3_errmsg(db_);
        return false;
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
        return WaitFor(-1, 0, connection->stop_, now + pause) == Wake::kStopped ? 0 : 1;
    }
    bool UserVersion(int& version, std::string& error) {
        std::vector<Row> rows;
        if (!Run("PRAGMA user_version", {}, &rows, error)) return false;
        version = rows.empty() || rows[0].empty() || !rows[0][0] ? 0 : std::stoi(*rows[0][0]);
        return true;
    }

    sqlite3* db_;
    Stop* stop_;
    std::chrono::steady_clock::time_point busySince_;
};

}  // namespace

std::unique_ptr<Connection> OpenSqlite(const std::string& path, Access access, std::string& error,
                                       Stop* stop) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (access == Access::kRead || errno != ENOENT) {
            error = std::string(std::strerror(errno));
            return nullptr;
        }
    } else if (!S_ISREG(info.st_mode)) {
        error = "not a regular file: give the path of an SQLite file";
        return nullptr;
    }
    sqlite3* db = nullptr;
    const int flags = access == Access::kWrite ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                               : SQLITE_OPEN_READONLY;
    const int opened = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    auto connection = std::make_unique<SqliteConnection>(db, stop);
    if (opened != SQLITE_OK || db == nullptr) {
        error = std::string("SQLite: ") + (db ? sqlite3_errmsg(db) : "out of memory");
        return nullptr;
    }
    if (access == Access::kWrite) {
        std::vector<Row> rows;
        if (!connection->Run("PRAGMA journal_mode = WAL", {}, &rows, error)) return nullptr;
    }
    return connection;
}

}  // namespace korvel::joblog
