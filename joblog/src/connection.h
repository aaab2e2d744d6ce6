// What the job log needs of a database: one statement at a time, its parameters bound by type,
// answered with rows of text. One implementation per kind of database; the statements themselves
// are all in job_sql.h.
#ifndef KORVEL_JOBLOG_CONNECTION_H
#define KORVEL_JOBLOG_CONNECTION_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/error.h"
#include "base/wait.h"
#include "joblog/job_log.h"

namespace korvel::joblog {

using Value = std::optional<std::string>;  // a column's text; nothing: NULL
using Row = std::vector<Value>;

// A parameter, bound by its type: NULL, an integer or a text.
using Parameter = std::variant<std::monostate, int64_t, std::string>;

struct Statement {
    std::string sql;  // its parameters written $1, $2, ... in order, each used
    std::vector<Parameter> parameters;
};

enum class Dialect {
    kSqlite,
    kPostgres,
};

class Connection {
  public:
    virtual ~Connection() = default;
    virtual Dialect Kind() const = 0;
    // Runs one statement; its rows (none for most). A parameter the statement does not take is
    // refused. The failure is the database's reason.
    virtual base::Expected<std::vector<Row>> Run(const Statement& statement) = 0;
    // Stopped, or a statement given up: nothing more is to be sent.
    virtual bool Interrupted() const = 0;
};

enum class Wake {
    kReady,    // the socket is ready (or in error: the caller finds out how)
    kStopped,  // the stop became ready; `stopped` is set
    kTimeUp,   // the deadline passed
};
// What a database client names its connection's socket by; kNoSocket: none.
using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;
// Waits until `socket` is ready for `event`, the stop is ready, or `deadline` passes (none: no
// end). A stop wins over the rest. Without a socket, a pause that a stop ends.
Wake WaitFor(Socket socket, base::SocketEvent event, Stop* stop,
             std::optional<std::chrono::steady_clock::time_point> deadline);

// `stop`, when given, ends the connection's waits (see Stop); it outlives the connection. The
// failure does not name the target.
base::Expected<std::unique_ptr<Connection>> OpenSqlite(const std::string& path, Access access,
                                                       Stop* stop);
base::Expected<std::unique_ptr<Connection>> OpenPostgres(const std::string& target, Access access,
                                                         Stop* stop);

}  // namespace korvel::joblog

#endif
