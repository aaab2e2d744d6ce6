#include "joblog/job_log.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/file.h"
#include "base/hex.h"
#include "base/process.h"
#include "connection.h"
#include "job_sql.h"
#include "sha256.h"

namespace korvel::joblog {

namespace {

class DatabaseStore : public Store {
  public:
    // The target names the passwords its errors must not show.
    DatabaseStore(std::unique_ptr<Connection> connection, std::string target)
        : connection_(std::move(connection)), target_(std::move(target)) {}

    base::Expected<void> Append(const JobRow& row) override {
        KORVEL_TRY(Run(sql::InsertJob(row)));
        return {};
    }

    base::Expected<std::vector<JobRow>> List(const Filter& filter) override {
        KORVEL_ASSIGN_OR_RETURN(const std::vector<Row> found, Run(sql::ListJobs(filter)));
        std::vector<JobRow> rows;
        for (const Row& values : found) {
            if (std::optional<JobRow> row = sql::JobFromRow(values))
                rows.push_back(std::move(*row));
        }
        return rows;
    }

    base::Expected<std::vector<StatsRow>> Stats(const Filter& filter) override {
        KORVEL_ASSIGN_OR_RETURN(const std::vector<Row> found, Run(sql::CountJobs(filter)));
        std::vector<StatsRow> rows;
        for (const Row& values : found) {
            if (std::optional<StatsRow> row = sql::StatsFromRow(values)) rows.push_back(*row);
        }
        return rows;
    }

  private:
    base::Expected<std::vector<Row>> Run(const Statement& statement) {
        base::Expected<std::vector<Row>> rows = connection_->Run(statement);
        if (!rows) rows.error().message = ShownMessage(rows.error().message, target_);
        return rows;
    }

    std::unique_ptr<Connection> connection_;
    std::string target_;
};

}  // namespace

Wake WaitFor(Socket socket, base::SocketEvent event, Stop* stop,
             std::optional<std::chrono::steady_clock::time_point> deadline) {
    std::vector<base::Waitable> others;
    if (stop != nullptr && stop->when) others.push_back(*stop->when);
    const size_t first = socket == kNoSocket ? 0 : 1;  // where the stop is in the answer
    for (;;) {
        std::optional<std::chrono::milliseconds> timeout;
        if (deadline) {
            timeout = std::max(std::chrono::ceil<std::chrono::milliseconds>(
                                   *deadline - std::chrono::steady_clock::now()),
                               std::chrono::milliseconds(0));
        }
        const base::Expected<std::vector<bool>> ready =
            socket == kNoSocket ? base::WaitForAny(others, timeout)
                                : base::WaitForSocket(socket, event, others, timeout);
        // A wait the system refuses: the socket's next use tells what is wrong.
        if (!ready) return Wake::kReady;
        if (!others.empty() && (*ready)[first]) {
            stop->stopped = true;
            return Wake::kStopped;
        }
        if (first == 1 && (*ready)[0]) return Wake::kReady;
        if (deadline && std::chrono::steady_clock::now() >= *deadline) return Wake::kTimeUp;
    }
}

std::string UtcText(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto millis = floor<milliseconds>(time);
    const auto day = floor<days>(millis);
    const year_month_day date(day);
    const hh_mm_ss clock(millis - day);
    char text[80];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
        static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
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
    return base::HostName();
}

FileRecord DescribeFile(const std::string& path) {
    FileRecord record;
    record.path = path;
    if (path.empty()) return record;
    base::Expected<base::File> file = base::File::Open(path, base::FileAccess::Read);
    if (!file) return record;
    const base::Expected<base::FileInfo> info = file->Info();
    if (!info || info->kind != base::FileKind::Regular) return record;
    // Streamed through the digest: a file is never held whole.
    Sha256 sha;
    std::vector<uint8_t> buffer(65536);
    int64_t size = 0;
    for (;;) {
        const base::Expected<size_t> got = file->Read(buffer);
        if (!got) return record;
        if (*got == 0) break;
        sha.Update(buffer.data(), *got);
        size += static_cast<int64_t>(*got);
    }
    record.size = size;
    record.sha256 = base::HexBytes(sha.Finish(), "", base::HexLetters::Lower);
    return record;
}

base::Expected<std::unique_ptr<Store>> OpenStore(const std::string& target, Access access,
                                                 Stop* stop) {
    std::string why;
    base::Expected<std::unique_ptr<Connection>> connection = base::Fail("no connection");
    switch (ClassifyTarget(target, &why)) {
        case TargetKind::kRefused:
            return base::Fail(why);
        case TargetKind::kPostgres:
            connection = OpenPostgres(target, access, stop);
            break;
        case TargetKind::kSqlite:
            connection = OpenSqlite(target, access, stop);
            break;
    }
    base::Expected<void> prepared = base::Expected<void>();
    if (connection) {
        prepared = sql::PrepareSchema(**connection, access);
    } else {
        prepared = std::move(connection).error();
    }
    if (!prepared) {
        prepared.error().message = ShownMessage(prepared.error().message, target);
        return std::move(prepared).error();
    }
    return std::unique_ptr<Store>(std::make_unique<DatabaseStore>(std::move(*connection), target));
}

base::Expected<void> AppendJob(const std::string& target, const JobRow& row, Stop* stop) {
    KORVEL_ASSIGN_OR_RETURN(const std::unique_ptr<Store> store,
                            OpenStore(target, Access::kWrite, stop));
    return store->Append(row);
}

}  // namespace korvel::joblog
