// Every SQL statement the job log runs, written once: the schema and its upgrades (made safely
// against other writers doing the same), each database's set-up, and the rows written and read.
// The connections only run what they are given, binding the parameters by type.
#ifndef KORVEL_JOBLOG_JOB_SQL_H
#define KORVEL_JOBLOG_JOB_SQL_H

#include <optional>
#include <vector>

#include "base/error.h"
#include "connection.h"
#include "joblog/job_log.h"

namespace korvel::joblog::sql {

// kWrite: brings the schema up to kSchemaVersion, safely against other writers doing the same.
// kRead: checks that the database holds a job log.
base::Expected<void> PrepareSchema(Connection& connection, Access access);

// SQLite, to write: the write-ahead log, so that readers go on while a row is written.
Statement WriteAheadLog();
// PostgreSQL: the session's time-outs, where the target or the role sets none: a row waits no
// longer for a locked table than SQLite for a locked file.
Statement LimitWaits(Access access);

Statement InsertJob(const JobRow& row);
// The jobs that pass the filter, oldest first; JobFromRow reads each row (nothing for a row of
// another shape).
Statement ListJobs(const Filter& filter);
std::optional<JobRow> JobFromRow(const Row& values);
// The jobs that pass the filter counted per result and reader type; StatsFromRow reads each row.
Statement CountJobs(const Filter& filter);
std::optional<StatsRow> StatsFromRow(const Row& values);

}  // namespace korvel::joblog::sql

#endif
