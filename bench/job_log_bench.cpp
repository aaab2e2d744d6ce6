// The cost of one job log row as a download pays it: open the target, check the schema, insert,
// close (AppendJob), on an SQLite file and on a PostgreSQL server; the insert alone on an open
// connection; and the SHA-256 of the files the row describes. bench/job_log_bench.sh starts a
// PostgreSQL server of its own and names it in KORVEL_BENCH_POSTGRES; without it the PostgreSQL
// cases are skipped.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cordane/exit_codes.h"
#include "joblog/job_log.h"

namespace {

namespace fs = std::filesystem;
using namespace korvel::joblog;

JobRow Row() {
    JobRow row;
    row.startedUtc = UtcText(std::chrono::system_clock::now());
    row.endedUtc = row.startedUtc;
    row.host = HostName();
    row.port = "KORVEL03";
    row.readerType = 1;
    row.readerName = "KvOrb (64 Kb)";
    row.application = {"/line/app.sre", 20508,
                       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"};
    row.result = cordane::ResultText(0);
    row.bytesSent = 7168;
    row.durationMs = 7000;
    row.tool = "cordane 0.1.0";
    return row;
}

std::string SqliteTarget() {
    static const std::string path = [] {
        const fs::path dir =
            fs::temp_directory_path() / ("job-log-bench-" + std::to_string(getpid()));
        fs::create_directories(dir);
        return (dir / "jobs.db").string();
    }();
    return path;
}

std::string PostgresTarget(benchmark::State& state) {
    const char* address = std::getenv("KORVEL_BENCH_POSTGRES");
    if (address == nullptr || *address == '\0') {
        state.SkipWithError("no PostgreSQL server: run bench/job_log_bench.sh");
        return "";
    }
    return address;
}

void AppendRows(benchmark::State& state, const std::string& target) {
    const JobRow row = Row();
    for (auto _ : state) {
        const korvel::base::Expected<void> written = AppendJob(target, row);
        if (!written) {
            state.SkipWithError(written.error().message.c_str());
            break;
        }
    }
}

void InsertRows(benchmark::State& state, const std::string& target) {
    const auto store = OpenStore(target, Access::kWrite);
    if (!store) {
        state.SkipWithError(store.error().message.c_str());
        return;
    }
    const JobRow row = Row();
    for (auto _ : state) {
        const korvel::base::Expected<void> written = (*store)->Append(row);
        if (!written) {
            state.SkipWithError(written.error().message.c_str());
            break;
        }
    }
}

void BM_RowSqlite(benchmark::State& state) {
    AppendRows(state, SqliteTarget());
}
void BM_InsertSqlite(benchmark::State& state) {
    InsertRows(state, SqliteTarget());
}
void BM_RowPostgres(benchmark::State& state) {
    const std::string target = PostgresTarget(state);
    if (!target.empty()) AppendRows(state, target);
}
void BM_InsertPostgres(benchmark::State& state) {
    const std::string target = PostgresTarget(state);
    if (!target.empty()) InsertRows(state, target);
}

// The fingerprint of a file of the given size, read from the file system.
void BM_DescribeFile(benchmark::State& state) {
    const std::string path = SqliteTarget() + ".bin";
    std::ofstream(path, std::ios::binary) << std::string(static_cast<size_t>(state.range(0)), 'S');
    for (auto _ : state) benchmark::DoNotOptimize(DescribeFile(path));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_RowSqlite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InsertSqlite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RowPostgres)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InsertPostgres)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DescribeFile)->Arg(20508)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(fs::path(SqliteTarget()).parent_path(), ignored);
    return 0;
}
