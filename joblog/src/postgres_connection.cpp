// The job log in a PostgreSQL database that every station of a line writes to. The schema is
// made under an advisory lock, so that stations starting together do not race to create it.
//
// No wait is endless: the connection is driven without blocking, within connect_timeout; the
// session gets a lock_timeout (and, to write, a statement_timeout) of its own unless the target
// or the role sets one; and a write waits for an answer no longer than the server's time-outs
// and a margin, for a server that went away. A Stop ends any wait at once. A statement given up
// is cancelled on the server, so that a row reported as not written is not written later, when
// the lock it waited for is released.
//
// The client library is loaded when a PostgreSQL target is first used, not at start-up: it
// brings some thirty libraries (TLS, Kerberos, LDAP) that a download logging to a file, or not at
// all, has no use for, and a station without it still downloads and logs to SQLite.
#include "connection.h"

#ifdef KORVEL_JOBLOG_POSTGRES
#include "base/shared_library.h"
#include "base/text.h"
#include "job_sql.h"

#include <libpq-fe.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>
#endif

namespace korvel::joblog {

#ifdef KORVEL_JOBLOG_POSTGRES

namespace {

// The functions of libpq the job log calls, found in the library once loaded.
struct Libpq {
    decltype(&::PQconnectStartParams) PQconnectStartParams;
    decltype(&::PQconnectPoll) PQconnectPoll;
    decltype(&::PQconninfo) PQconninfo;
    decltype(&::PQconninfoFree) PQconninfoFree;
    decltype(&::PQsocket) PQsocket;
    decltype(&::PQstatus) PQstatus;
    decltype(&::PQerrorMessage) PQerrorMessage;
    decltype(&::PQfinish) PQfinish;
    decltype(&::PQsetNoticeProcessor) PQsetNoticeProcessor;
    decltype(&::PQsetnonblocking) PQsetnonblocking;
    decltype(&::PQsendQueryParams) PQsendQueryParams;
    decltype(&::PQflush) PQflush;
    decltype(&::PQconsumeInput) PQconsumeInput;
    decltype(&::PQisBusy) PQisBusy;
    decltype(&::PQgetResult) PQgetResult;
    decltype(&::PQresultStatus) PQresultStatus;
    decltype(&::PQresultErrorMessage) PQresultErrorMessage;
    decltype(&::PQresultErrorField) PQresultErrorField;
    decltype(&::PQclear) PQclear;
    decltype(&::PQntuples) PQntuples;
    decltype(&::PQnfields) PQnfields;
    decltype(&::PQgetisnull) PQgetisnull;
    decltype(&::PQgetvalue) PQgetvalue;
    decltype(&::PQgetlength) PQgetlength;
    decltype(&::PQgetCancel) PQgetCancel;
    decltype(&::PQcancel) PQcancel;
    decltype(&::PQfreeCancel) PQfreeCancel;
};

// The client library, and what to do when it cannot be loaded.
#if defined(_WIN32)
constexpr const char kLibpqName[] = "libpq.dll";
constexpr const char kLibpqInstall[] =
    "install PostgreSQL's client (its bin folder on PATH), or put libpq.dll and the DLLs it needs "
    "beside the program or in a folder on PATH";
#else
constexpr const char kLibpqName[] = "libpq.so.5";
constexpr const char kLibpqInstall[] = "install it (Debian: libpq5)";
#endif

// Loads libpq once (it stays loaded), or why it cannot be.
base::Expected<const Libpq*> LoadLibpq() {
    static Libpq functions{};
    static std::string failure;
    static const bool loaded = [] {
        const base::Expected<base::SharedLibrary> library = base::SharedLibrary::Load(kLibpqName);
        if (!library) {
            failure = library.error().message + ": " + kLibpqInstall;
            return false;
        }
        bool all = true;
        auto find = [&](auto& function, const char* name) {
            all = library->Find(function, name) && all;
        };
        find(functions.PQconnectStartParams, "PQconnectStartParams");
        find(functions.PQconnectPoll, "PQconnectPoll");
        find(functions.PQconninfo, "PQconninfo");
        find(functions.PQconninfoFree, "PQconninfoFree");
        find(functions.PQsocket, "PQsocket");
        find(functions.PQstatus, "PQstatus");
        find(functions.PQerrorMessage, "PQerrorMessage");
        find(functions.PQfinish, "PQfinish");
        find(functions.PQsetNoticeProcessor, "PQsetNoticeProcessor");
        find(functions.PQsetnonblocking, "PQsetnonblocking");
        find(functions.PQsendQueryParams, "PQsendQueryParams");
        find(functions.PQflush, "PQflush");
        find(functions.PQconsumeInput, "PQconsumeInput");
        find(functions.PQisBusy, "PQisBusy");
        find(functions.PQgetResult, "PQgetResult");
        find(functions.PQresultStatus, "PQresultStatus");
        find(functions.PQresultErrorMessage, "PQresultErrorMessage");
        find(functions.PQresultErrorField, "PQresultErrorField");
        find(functions.PQclear, "PQclear");
        find(functions.PQntuples, "PQntuples");
        find(functions.PQnfields, "PQnfields");
        find(functions.PQgetisnull, "PQgetisnull");
        find(functions.PQgetvalue, "PQgetvalue");
        find(functions.PQgetlength, "PQgetlength");
        find(functions.PQgetCancel, "PQgetCancel");
        find(functions.PQcancel, "PQcancel");
        find(functions.PQfreeCancel, "PQfreeCancel");
        if (!all) {
            failure = std::string("the PostgreSQL client library ") + kLibpqName +
                      " lacks functions the job log needs: install a newer one";
        }
        return all;
    }();
    if (!loaded) return base::Fail("PostgreSQL: " + failure);
    return &functions;
}

constexpr int kConnectTimeoutSeconds = 10;  // connect_timeout, unless the target gives its own
constexpr int kShortestConnectSeconds = 2;  // libpq's own floor for connect_timeout
// The longest wait for the answer to a write's statement: the session's time-outs end it first,
// unless the server or the network has gone.
constexpr std::chrono::seconds kAnswerPatience{20};
// Once a statement is given up: for the cancel request to reach the server, then for the
// statement to end, which tells whether it was done after all.
constexpr std::chrono::seconds kCancelPatience{1};
// A message of libpq's without its line end.
std::string Trimmed(const char* text) {
    return std::string(base::TrimEnd(text ? text : "", "\n "));
}

// The connect_timeout in use: the target's own when it gives one above 0, else ours.
int ConnectTimeoutSeconds(const Libpq& pq, PGconn* connection) {
    int seconds = kConnectTimeoutSeconds;
    if (PQconninfoOption* options = pq.PQconninfo(connection)) {
        for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
            if (std::strcmp(option->keyword, "connect_timeout") != 0 || option->val == nullptr) {
                continue;
            }
            const int given = std::atoi(option->val);
            if (given > 0) seconds = std::max(given, kShortestConnectSeconds);
        }
        pq.PQconninfoFree(options);
    }
    return seconds;
}

// Asks the server to cancel the statement under way. The request goes on a connection of its
// own, sent by a thread of its own that is let go after kCancelPatience: a network that swallows
// it holds neither the caller nor the program's end. True when the server took the request.
bool SendCancel(const Libpq& pq, PGconn* connection) {
    PGcancel* cancel = pq.PQgetCancel(connection);
    if (cancel == nullptr) return false;
    struct Outcome {
        std::mutex mutex;
        std::condition_variable ended;
        bool over = false;
        bool sent = false;
    };
    const auto outcome = std::make_shared<Outcome>();
    const Libpq* functions = &pq;  // loaded once, for the program's life
    try {
        std::thread([functions, cancel, outcome] {
            char why[256];
            const bool sent = functions->PQcancel(cancel, why, sizeof why) == 1;
            functions->PQfreeCancel(cancel);
            const std::lock_guard<std::mutex> lock(outcome->mutex);
            outcome->over = true;
            outcome->sent = sent;
            outcome->ended.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        pq.PQfreeCancel(cancel);
        return false;
    }
    std::unique_lock<std::mutex> lock(outcome->mutex);
    outcome->ended.wait_for(lock, kCancelPatience, [&] { return outcome->over; });
    return outcome->sent;
}

class PostgresConnection : public Connection {
  public:
    // `bounded`: each statement's answer is waited for kAnswerPatience at most.
    PostgresConnection(const Libpq& pq, PGconn* connection, Stop* stop, bool bounded)
        : pq_(pq), connection_(connection), stop_(stop), bounded_(bounded) {}
    ~PostgresConnection() override { pq_.PQfinish(connection_); }
    PostgresConnection(const PostgresConnection&) = delete;
    PostgresConnection& operator=(const PostgresConnection&) = delete;

    Dialect Kind() const override { return Dialect::kPostgres; }
    // A stop or a statement given up: nothing more is sent.
    bool Interrupted() const override { return givenUp_ || (stop_ != nullptr && stop_->stopped); }

    // Drives the connection started without blocking to its end, within connect_timeout.
    base::Expected<void> Connect() {
        if (pq_.PQstatus(connection_) == CONNECTION_BAD) return Failure();
        const int seconds = ConnectTimeoutSeconds(pq_, connection_);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        // Before the first poll, libpq waits to write.
        PostgresPollingStatusType state = PGRES_POLLING_WRITING;
        while (state != PGRES_POLLING_OK) {
            if (state == PGRES_POLLING_FAILED) return Failure();
            const int socket = pq_.PQsocket(connection_);
            if (socket < 0) return Failure();
            const Wake wake = WaitFor(socket,
                                      state == PGRES_POLLING_READING ? base::SocketEvent::Readable
                                                                     : base::SocketEvent::Writable,
                                      stop_, deadline);
            if (wake == Wake::kStopped) {
                return base::Fail("stopped before the PostgreSQL server was reached");
            }
            if (wake == Wake::kTimeUp) {
                return base::Fail("PostgreSQL: the server did not answer within " +
                                  std::to_string(seconds) +
                                  " s (connect_timeout): check that it runs and that the network "
                                  "reaches it");
            }
            state = pq_.PQconnectPoll(connection_);
        }
        if (pq_.PQsetnonblocking(connection_, 1) != 0) return Failure();
        // "already exists, skipping" and the like are no news to an operator.
        pq_.PQsetNoticeProcessor(
            connection_, [](void*, const char*) {}, nullptr);
        return {};
    }

    base::Expected<std::vector<Row>> Run(const Statement& statement) override {
        if (stop_ != nullptr && stop_->stopped) {
            return base::Fail("stopped before the statement was sent to PostgreSQL");
        }
        if (givenUp_) {
            return base::Fail(
                "PostgreSQL: the connection was given up after a statement without answer");
        }
        // Every parameter goes in its text form; the server reads it as the column's type.
        std::vector<std::string> texts(statement.parameters.size());
        std::vector<const char*> values;
        for (size_t i = 0; i < statement.parameters.size(); ++i) {
            const Parameter& parameter = statement.parameters[i];
            if (const auto* number = std::get_if<int64_t>(&parameter)) {
                texts[i] = std::to_string(*number);
            } else if (const auto* text = std::get_if<std::string>(&parameter)) {
                texts[i] = *text;
            } else {
                values.push_back(nullptr);  // NULL
                continue;
            }
            values.push_back(texts[i].c_str());
        }
        if (!pq_.PQsendQueryParams(connection_, statement.sql.c_str(),
                                   static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                   nullptr, 0)) {
            return Failure();
        }
        std::optional<std::chrono::steady_clock::time_point> deadline;
        if (bounded_) deadline = std::chrono::steady_clock::now() + kAnswerPatience;
        std::vector<Row> rows;
        // The statement out; a full socket buffer is waited for as an answer is.
        for (;;) {
            const int flushed = pq_.PQflush(connection_);
            if (flushed == 0) break;
            if (flushed < 0) return Failure();
            const Wake wake =
                WaitFor(pq_.PQsocket(connection_), base::SocketEvent::Either, stop_, deadline);
            if (wake != Wake::kReady) return GiveUp(wake, rows);
            if (!pq_.PQconsumeInput(connection_)) return Failure();
        }
        std::string failure;
        const Wake wake = Collect(rows, failure, stop_, deadline);
        if (wake != Wake::kReady) return GiveUp(wake, rows);
        if (!failure.empty()) return base::Fail(failure);
        return rows;
    }

  private:
    base::Error Failure() const {
        return base::Fail("PostgreSQL: " + Trimmed(pq_.PQerrorMessage(connection_)));
    }
    // The server's reason, without the statement it quotes: "canceling statement due to lock
    // timeout", and its detail.
    std::string ResultError(const PGresult* result) const {
        const char* primary = pq_.PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
        if (primary == nullptr) return Trimmed(pq_.PQresultErrorMessage(result));
        std::string text = Trimmed(primary);
        if (const char* detail = pq_.PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL)) {
            text += " (" + Trimmed(detail) + ")";
        }
        return text;
    }

    // Reads the statement's results to their end, the rows into `rows` and the first error into
    // `failure`. kReady once all are read, else why the wait ended first.
    Wake Collect(std::vector<Row>& rows, std::string& failure, Stop* stop,
                 std::optional<std::chrono::steady_clock::time_point> deadline) {
        for (;;) {
            while (pq_.PQisBusy(connection_)) {
                const Wake wake =
                    WaitFor(pq_.PQsocket(connection_), base::SocketEvent::Readable, stop, deadline);
                if (wake != Wake::kReady) return wake;
                if (!pq_.PQconsumeInput(connection_)) {
                    if (failure.empty()) failure = Failure().message;
                    return Wake::kReady;
                }
            }
            PGresult* result = pq_.PQgetResult(connection_);
            if (result == nullptr) return Wake::kReady;
            const ExecStatusType status = pq_.PQresultStatus(result);
            if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
                if (failure.empty()) failure = "PostgreSQL: " + ResultError(result);
            } else {
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
                    rows.push_back(std::move(row));
                }
            }
            pq_.PQclear(result);
        }
    }

    // The statement under way is given up (`why`: a stop or no answer in time). It is cancelled
    // on the server, then its end is waited for a moment: done before the cancel took, it
    // stands; otherwise the caller is told it was not done, or that the server did not say.
    base::Expected<std::vector<Row>> GiveUp(Wake why, std::vector<Row>& rows) {
        givenUp_ = true;
        const bool asked = SendCancel(pq_, connection_);
        std::string failure;
        const Wake ended =
            Collect(rows, failure, nullptr, std::chrono::steady_clock::now() + kCancelPatience);
        if (ended == Wake::kReady && failure.empty()) {
            givenUp_ = false;  // the connection is idle again
            return std::move(rows);
        }
        std::string error = why == Wake::kStopped
                                ? std::string("stopped")
                                : "PostgreSQL: the server did not answer within " +
                                      std::to_string(kAnswerPatience.count()) + " s";
        if (ended == Wake::kReady) {
            error += ": the statement was cancelled";
        } else {
            error += asked ? ": the server was asked to cancel the statement and did not confirm "
                             "it in time"
                           : ": the server could not be asked to cancel the statement";
        }
        return base::Fail(error);
    }

    const Libpq& pq_;
    PGconn* connection_;
    Stop* stop_;
    bool bounded_;
    bool givenUp_ = false;
};

}  // namespace

base::Expected<std::unique_ptr<Connection>> OpenPostgres(const std::string& target, Access access,
                                                         Stop* stop) {
    KORVEL_ASSIGN_OR_RETURN(const Libpq* const pq, LoadLibpq());
    // The target's own connect_timeout, if it has one, wins over this default: the words of the
    // target, expanded from dbname, come after it.
    const std::string timeout = std::to_string(kConnectTimeoutSeconds);
    const char* keys[] = {"connect_timeout", "dbname", "application_name", nullptr};
    const char* values[] = {timeout.c_str(), target.c_str(), "korvel", nullptr};
    PGconn* raw = pq->PQconnectStartParams(keys, values, 1);
    if (raw == nullptr) return base::Fail("PostgreSQL: out of memory");
    auto connection =
        std::make_unique<PostgresConnection>(*pq, raw, stop, access == Access::kWrite);
    KORVEL_TRY(connection->Connect());
    KORVEL_TRY(connection->Run(sql::LimitWaits(access)));
    return std::unique_ptr<Connection>(std::move(connection));
}

#else

base::Expected<std::unique_ptr<Connection>> OpenPostgres(const std::string&, Access, Stop*) {
    return base::Fail(
        "this build has no PostgreSQL support (built without libpq-dev): log to an SQLite "
        "file, or use a build with it");
}

#endif

}  // namespace korvel::joblog
