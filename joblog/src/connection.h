// What the job log needs of a database: statements with text parameters, answered with rows of
// text, and the schema's version kept the database's own way. One implementation per target.
#ifndef KORVEL_JOBLOG_CONNECTION_H
#define KORVEL_JOBLOG_CONNECTION_H

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "joblog/job_log.h"

namespace korvel::joblog {

using Value = std::optional<std::string>;  // nothing: NULL
using Row = std::vector<Value>;

class Connection {
  public:
    virtual ~Connection() = default;
    // Runs one statement whose parameters are written $1, $2, ... in order; its rows go to
    // `rows` when given. False with the database's reason in `error`.
    [[nodiscard]] virtual bool Run(const std::string& sql, const std::vector<Value>& parameters,
                                   std::vector<Row>* rows, std::string& error) = 0;
    // kWrite: brings the schema up to kSchemaVersion, safely against other writers doing the
    // same. kRead: checks that the database holds a job log.
    [[nodiscard]] virtual bool PrepareSchema(Access access, std::string& error) = 0;
};

enum class Wake {
    kReady,    // the descriptor is ready (or in error: the caller finds out how)
    kStopped,  // the stop's descriptor is readable; `stopped` is set
    kTimeUp,   // the deadline passed
};
// Waits until `fd` (-1: none) is ready for `events`, the stop's descriptor is readable, or
// `deadline` passes (none: no end). A stop wins over the rest.
Wake WaitFor(int fd, short events, Stop* stop,
             std::optional<std::chrono::steady_clock::time_point> deadline);

// The statements that take a database from schema version `from` to kSchemaVersion. The job
// table's key is the only difference between the targets.
std::vector<std::string> UpgradeStatements(int from, bool postgres);

// `stop`, when given, ends the connection's waits (see Stop); it outlives the connection.
std::unique_ptr<Connection> OpenSqlite(const std::string& path, Access access, std::string& error,
                                       Stop* stop);
std::unique_ptr<Connection> OpenPostgres(const std::string& target, Access access,
                                         std::string& error, Stop* stop);

}  // namespace korvel::joblog

#endif
