// The job log in a PostgreSQL database that every station of a line writes to. The schema is
// made under an advisory lock, so that stations starting together do not race to create it.
//
// The client library is loaded when a PostgreSQL target is first used, not at start-up: it
// brings some thirty libraries (TLS, Kerberos, LDAP) that a download logging to a file, or not at
// all, has no use for, and a station without it still downloads and logs to SQLite.
#include "connection.h"

#ifdef KORVEL_JOBLOG_POSTGRES
#include <dlfcn.h>
#include <libpq-fe.h>

#include <type_traits>
#endif

namespace korvel::joblog {

#ifdef KORVEL_JOBLOG_POSTGRES

namespace {

// The functions of libpq the job log calls, found in the library once loaded.
struct Libpq {
    decltype(&::PQconnectdbParams) PQconnectdbParams;
    decltype(&::PQstatus) PQstatus;
    decltype(&::PQerrorMessage) PQerrorMessage;
    decltype(&::PQfinish) PQfinish;
    decltype(&::PQsetNoticeProcessor) PQsetNoticeProcessor;
    decltype(&::PQexecParams) PQexecParams;
    decltype(&::PQresultStatus) PQresultStatus;
    decltype(&::PQresultErrorMessage) PQresultErrorMessage;
    decltype(&::PQclear) PQclear;
    decltype(&::PQntuples) PQntuples;
    decltype(&::PQnfields) PQnfields;
    decltype(&::PQgetisnull) PQgetisnull;
    decltype(&::PQgetvalue) PQgetvalue;
    decltype(&::PQgetlength) PQgetlength;
};

constexpr const char kLibpqName[] = "libpq.so.5";

// Loads libpq once (it stays loaded); null with the reason when it cannot.
const Libpq* LoadLibpq(std::string& error) {
    static Libpq functions{};
    static std::string failure;
    static const bool loaded = [] {
        void* library = ::dlopen(kLibpqName, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            const char* why = ::dlerror();
            failure = std::string("the PostgreSQL client library ") + kLibpqName +
                      " cannot be loaded (" + (why ? why : "not found") +
                      "): install it (Debian: libpq5)";
            return false;
        }
        bool all = true;
        auto find = [&](auto& function, const char* name) {
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
                ::dlsym(library, name));
            all = all && function != nullptr;
        };
        find(functions.PQconnectdbParams, "PQconnectdbParams");
        find(functions.PQstatus, "PQstatus");
        find(functions.PQerrorMessage, "PQerrorMessage");
        find(functions.PQfinish, "PQfinish");
        find(functions.PQsetNoticeProcessor, "PQsetNoticeProcessor");
        find(functions.PQexecParams, "PQexecParams");
        find(functions.PQresultStatus, "PQresultStatus");
        find(functions.PQresultErrorMessage, "PQresultErrorMessage");
        find(functions.PQclear, "PQclear");
        find(functions.PQntuples, "PQntuples");
        find(functions.PQnfields, "PQnfields");
        find(functions.PQgetisnull, "PQgetisnull");
        find(functions.PQgetvalue, "PQgetvalue");
        find(functions.PQgetlength, "PQgetlength");
        if (!all) {
            failure = std::string("the PostgreSQL client library ") + kLibpqName +
                      " lacks functions the job log needs: install a newer one";
        }
        return all;
    }();
    if (!loaded) {
        error = "PostgreSQL: " + failure;
        return nullptr;
    }
    return &functions;
}

constexpr const char kConnectTimeoutSeconds[] = "10";
constexpr const char kSchemaLockKey[] = "1263489622";  // "KORV": the job log's schema lock

std::string Trimmed(const char* text) {
    std::string trimmed = text ? text : "";
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == ' ')) {
        trimmed.pop_back();
    }
    return trimmed;
}

class PostgresConnection : public Connection {
  public:
    PostgresConnection(const Libpq& pq, PGconn* connection) : pq_(pq), connection_(connection) {}
    ~PostgresConnection() override {
        if (connection_) pq_.PQfinish(connection_);
    }

    bool Run(const std::string& sql, const std::vector<Value>& parameters, std::vector<Row>* rows,
             std::string& error) override {
        std::vector<const char*> values;
        for (const Value& value : parameters) values.push_back(value ? value->c_str() : nullptr);
        PGresult* result =
            pq_.PQexecParams(connection_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                             values.data(), nullptr, nullptr, 0);
        const ExecStatusType status = pq_.PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            error = "PostgreSQL: " + Trimmed(result ? pq_.PQresultErrorMessage(result)
                                                    : pq_.PQerrorMessage(connection_));
            pq_.PQclear(result);
            return false;
        }
        if (rows) {
            const int count = pq_.PQntuples(result);
            const int columns = pq_.PQnfields(result);
            for (int r = 0; r < count; ++r) {
                Row row;
                for (int c = 0; c < columns; ++c) {
                    if (pq_.PQgetisnull(result, r, c)) {
                        row.push_back(std::nullopt);
                    } else {
                        row.push_back(
                            std::string(pq_.PQgetvalue(result, r, c),
                                        static_cast<size_t>(pq_.PQgetlength(result, r, c))));
                    }
                }
                rows->push_back(std::move(row));
            }
        }
        pq_.PQclear(result);
        return true;
    }

    bool PrepareSchema(Access access, std::string& error) override {
        std::vector<Row> rows;
        if (access == Access::kRead) {
            if (!Run("SELECT to_regclass('korvel_jobs') IS NOT NULL", {}, &rows, error)) {
                return false;
            }
            if (rows.empty() || rows[0].empty() || rows[0][0] != Value("t")) {
                error = "the database holds no job log (no download has written to it)";
                return false;
            }
            return true;
        }
        // Most writes find the schema made: one query, without the lock.
        if (Run("SELECT MAX(version) FROM korvel_schema", {}, &rows, error) && !rows.empty() &&
            !rows[0].empty() && rows[0][0] && std::stoi(*rows[0][0]) >= kSchemaVersion) {
            return true;
        }
        rows.clear();
        bool ok = Run("BEGIN", {}, nullptr, error) &&
                  Run(std::string("SELECT pg_advisory_xact_lock(") + kSchemaLockKey + ")", {},
                      nullptr, error) &&
                  Run("CREATE TABLE IF NOT EXISTS korvel_schema (version INTEGER NOT NULL)", {},
                      nullptr, error) &&
                  Run("SELECT COALESCE(MAX(version), 0) FROM korvel_schema", {}, &rows, error);
        if (ok) {
            const int version =
                rows.empty() || rows[0].empty() || !rows[0][0] ? 0 : std::stoi(*rows[0][0]);
            if (version < kSchemaVersion) {
                for (const std::string& statement : UpgradeStatements(version, true)) {
                    if (!(ok = Run(statement, {}, nullptr, error))) break;
                }
                ok = ok && Run("DELETE FROM korvel_schema", {}, nullptr, error) &&
                     Run("INSERT INTO korvel_schema (version) VALUES ($1)",
                         {std::to_string(kSchemaVersion)}, nullptr, error);
            }
        }
        if (ok) return Run("COMMIT", {}, nullptr, error);
        std::string ignored;
        (void)Run("ROLLBACK", {}, nullptr, ignored);
        return false;
    }

  private:
    const Libpq& pq_;
    PGconn* connection_;
};

}  // namespace

std::unique_ptr<Connection> OpenPostgres(const std::string& address, std::string& error) {
    // The address's own connect_timeout, if it has one, wins over this default.
    const char* keys[] = {"connect_timeout", "dbname", "application_name", nullptr};
    const char* values[] = {kConnectTimeoutSeconds, address.c_str(), "korvel", nullptr};
    const Libpq* pq = LoadLibpq(error);
    if (pq == nullptr) return nullptr;
    PGconn* raw = pq->PQconnectdbParams(keys, values, 1);
    auto connection = std::make_unique<PostgresConnection>(*pq, raw);
    if (raw == nullptr || pq->PQstatus(raw) != CONNECTION_OK) {
        error = "PostgreSQL: " +
                (raw ? Trimmed(pq->PQerrorMessage(raw)) : std::string("out of memory"));
        return nullptr;
    }
    // "already exists, skipping" and the like are no news to an operator.
    pq->PQsetNoticeProcessor(
        raw, [](void*, const char*) {}, nullptr);
    return connection;
}

#else

std::unique_ptr<Connection> OpenPostgres(const std::string&, std::string& error) {
    error =
        "this build has no PostgreSQL support (built without libpq-dev): log to an SQLite "
        "file, or use a build with it";
    return nullptr;
}

#endif

}  // namespace korvel::joblog
