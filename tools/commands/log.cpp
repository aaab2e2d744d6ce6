// cordane log: the jobs of the job log, as a table, JSON lines or CSV, or their counts per result
// and reader type. Runs in cordane-engine, with the database libraries that cordane itself does
// not load.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_writer.h"
#include "base/text.h"
#include "cli/arguments.h"
#include "cli/log_options.h"
#include "commands.h"
#include "joblog/job_log.h"
#include "zr318/ports.h"

namespace cordane::tools {

using korvel::base::JsonWriter;

namespace {

namespace joblog = korvel::joblog;
using korvel::base::GroupDigits;

constexpr char kHelp[] =
    "usage: cordane log [--log TARGET] [--since TIME] [--port P] [--failed] [--json|--csv]\n"
    "       cordane log [--log TARGET] [--since TIME] [--port P] [--failed] --stats\n"
    "                   [--json|--csv]\n"
    "\n"
    "Lists the jobs that \"cordane download --log\" and Brenmark wrote to the job log, oldest\n"
    "first, or counts them per result and reader type.\n"
    "\n"
    "  --log TARGET   the job log: an SQLite file, a postgresql:// address or libpq's\n"
    "                 key=value words; default: the environment variable KORVEL_LOG\n"
    "  --since TIME   jobs started at or after TIME, in UTC: 2026-12-08, 2026-12-08T09:30,\n"
    "                 2026-12-08T09:30:15; or back from now: 45s, 90m, 24h, 7d\n"
    "  --port P       jobs on the port P, named as for a download: COM1, KORVEL03 (in any\n"
    "                 case), or the device path the download was given (/dev/ttyUSB0)\n"
    "  --failed       jobs whose exit code is not 0\n"
    "  --stats        the number of jobs per result and reader type, and the total\n"
    "  --json         one JSON object per line, keyed by the log's column names\n"
    "  --csv          comma-separated values with a header line\n"
    "\n"
    "Exit codes: 0 listed (perhaps no job); 1 the job log cannot be read; 2 bad command line.\n";

int Usage(std::string_view problem) {
    return ReportUsage(
        "log", problem,
        "[--log TARGET] [--since TIME] [--port P] [--failed] [--stats] [--json|--csv]");
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

// A text of the log as the table shows it: control characters, which would move the terminal's
// cursor or colour its screen, as escapes ("\n", "\t", "\x1b"), those of UTF-8 as well
// ("\u009b").
std::string Printable(const std::string& text) {
    std::string shown;
    char escape[8];
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == 0xC2 && i + 1 < text.size() &&
            static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            std::snprintf(escape, sizeof escape, "\\u%04x",
                          static_cast<unsigned char>(text[i + 1]));
            shown += escape;
            ++i;
        } else if (byte == '\n') {
            shown += "\\n";
        } else if (byte == '\t') {
            shown += "\\t";
        } else if (byte == '\r') {
            shown += "\\r";
        } else if (byte < 0x20 || byte == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            shown += escape;
        } else {
            shown += text[i];
        }
    }
    return shown;
}

// The port as the jobs name it: COM and KORVEL ports in any case and with any number of digits
// ("com3", "korvel7") as the download names them ("COM3", "KORVEL07"); a device path, or any
// other name, as it is given.
std::string LoggedPortName(const std::string& given) {
    const std::optional<korvel::ports::PortSpec> spec = korvel::ports::ParsePortName(given);
    return spec ? spec->text : given;
}

std::string OptionalText(const std::optional<int64_t>& number) {
    return number ? std::to_string(*number) : "";
}

void PrintCsvLine(const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) line += ',';
        line += CsvField(fields[i]);  // appended piece by piece: GCC 12 -O3 -Wrestrict
    }
    std::puts(line.c_str());
}

void PutFile(JsonWriter& json, const char* prefix, const joblog::FileRecord& file) {
    const std::string name(prefix);
    json.Key(name + "_path");
    file.path.empty() ? json.Null() : json.String(file.path);
    json.Key(name + "_size");
    file.size ? json.Number(*file.size) : json.Null();
    json.Key(name + "_sha256");
    file.sha256.empty() ? json.Null() : json.String(file.sha256);
}

void PrintJobs(const std::vector<joblog::JobRow>& rows, LogOptions::Format format) {
    if (format == LogOptions::Format::kJson) {
        for (const joblog::JobRow& row : rows) {
            JsonWriter json;
            json.BeginObject().Key("id").Number(row.id);
            json.Key("started_utc").String(row.startedUtc).Key("ended_utc").String(row.endedUtc);
            json.Key("host").String(row.host).Key("port").String(row.port);
            json.Key("reader_type");
            row.readerType >= 0 ? json.Number(row.readerType) : json.Null();
            json.Key("reader_name").String(row.readerName);
            json.Key("reader_detected").Bool(row.readerDetected);
            json.Key("download_type").Number(row.downloadType);
            PutFile(json, "application", row.application);
            PutFile(json, "driver", row.driver);
            json.Key("exit_code").Number(row.exitCode).Key("result").String(row.result);
            json.Key("bytes_sent");
            row.bytesSent ? json.Number(*row.bytesSent) : json.Null();
            json.Key("duration_ms").Number(row.durationMs);
            json.Key("tool_version").String(row.tool).EndObject();
            std::puts(json.text().c_str());
        }
        return;
    }
    if (format == LogOptions::Format::kCsv) {
        PrintCsvLine({"id",
                      "started_utc",
                      "ended_utc",
                      "host",
                      "port",
                      "reader_type",
                      "reader_name",
                      "reader_detected",
                      "download_type",
                      "application_path",
                      "application_size",
                      "application_sha256",
                      "driver_path",
                      "driver_size",
                      "driver_sha256",
                      "exit_code",
                      "result",
                      "bytes_sent",
                      "duration_ms",
                      "tool_version"});
        for (const joblog::JobRow& row : rows) {
            PrintCsvLine({std::to_string(row.id),
                          row.startedUtc,
                          row.endedUtc,
                          row.host,
                          row.port,
                          row.readerType >= 0 ? std::to_string(row.readerType) : "",
                          row.readerName,
                          row.readerDetected ? "1" : "0",
                          std::to_string(row.downloadType),
                          row.application.path,
                          OptionalText(row.application.size),
                          row.application.sha256,
                          row.driver.path,
                          OptionalText(row.driver.size),
                          row.driver.sha256,
                          std::to_string(row.exitCode),
                          row.result,
                          OptionalText(row.bytesSent),
                          std::to_string(row.durationMs),
                          row.tool});
        }
        return;
    }
    std::printf("%-24s  %-12s  %-15s  %4s  %4s  %-20s  %10s  %7s  %s\n", "STARTED (UTC)", "PORT",
                "READER", "TYPE", "EXIT", "RESULT", "BYTES", "SECONDS", "FILE");
    for (const joblog::JobRow& row : rows) {
        const std::string reader = Printable(row.readerName) + (row.readerDetected ? " *" : "");
        std::printf(
            "%-24s  %-12s  %-15s  %4d  %4d  %-20s  %10s  %7.1f  %s\n",
            Printable(row.startedUtc).c_str(), Printable(row.port).c_str(), reader.c_str(),
            row.downloadType, row.exitCode, Printable(row.result).c_str(),
            row.bytesSent ? GroupDigits(static_cast<uint64_t>(*row.bytesSent)).c_str() : "-",
            static_cast<double>(row.durationMs) / 1000.0,
            row.application.path.empty() ? "-" : Printable(row.application.path).c_str());
    }
    std::printf("%zu job%s\n", rows.size(), rows.size() == 1 ? "" : "s");
}

void PrintStats(const std::vector<joblog::StatsRow>& rows, LogOptions::Format format) {
    int64_t total = 0;
    for (const joblog::StatsRow& row : rows) total += row.jobs;
    if (format == LogOptions::Format::kJson) {
        for (const joblog::StatsRow& row : rows) {
            JsonWriter json;
            json.BeginObject().Key("exit_code").Number(row.exitCode);
            json.Key("result").String(row.result).Key("reader_type");
            row.readerType >= 0 ? json.Number(row.readerType) : json.Null();
            json.Key("reader_name").String(row.readerName).Key("jobs").Number(row.jobs);
            std::puts(json.EndObject().text().c_str());
        }
        return;
    }
    if (format == LogOptions::Format::kCsv) {
        PrintCsvLine({"exit_code", "result", "reader_type", "reader_name", "jobs"});
        for (const joblog::StatsRow& row : rows) {
            PrintCsvLine({std::to_string(row.exitCode), row.result,
                          row.readerType >= 0 ? std::to_string(row.readerType) : "", row.readerName,
                          std::to_string(row.jobs)});
        }
        return;
    }
    std::printf("%-24s  %4s  %-15s  %8s\n", "RESULT", "EXIT", "READER", "JOBS");
    for (const joblog::StatsRow& row : rows) {
        std::printf("%-24s  %4d  %-15s  %8lld\n", Printable(row.result).c_str(), row.exitCode,
                    Printable(row.readerName).c_str(), static_cast<long long>(row.jobs));
    }
    std::printf("%-24s  %4s  %-15s  %8lld\n", "total", "", "", static_cast<long long>(total));
}

}  // namespace

int RunLog(int argc, char** argv) {
    const korvel::base::Expected<LogOptions> parsed = ParseLogOptions(argc, argv);
    if (!parsed) return Usage(parsed.error().message);
    const LogOptions& options = *parsed;
    if (options.help) return PrintHelp(kHelp);
    std::string target = options.target;
    if (target.empty()) {
        const char* variable = std::getenv(joblog::kTargetVariable);
        if (variable == nullptr || *variable == '\0') {
            return Usage(
                "no job log given: name it with --log TARGET (an SQLite file or a "
                "postgresql:// address) or set KORVEL_LOG");
        }
        target = variable;
    }
    joblog::Filter filter;
    if (options.since) {
        filter.sinceUtc = options.since->utc.empty()
                              ? joblog::UtcText(std::chrono::system_clock::now() -
                                                std::chrono::seconds(options.since->secondsAgo))
                              : options.since->utc;
    }
    if (options.port) filter.port = LoggedPortName(*options.port);
    filter.failedOnly = options.failed;

    korvel::base::Expected<void> shown = korvel::base::Expected<void>();
    korvel::base::Expected<std::unique_ptr<joblog::Store>> store =
        joblog::OpenStore(target, joblog::Access::kRead);
    if (!store) {
        shown = store.error();
    } else if (options.stats) {
        const korvel::base::Expected<std::vector<joblog::StatsRow>> rows = (*store)->Stats(filter);
        if (rows) PrintStats(*rows, options.format);
        if (!rows) shown = rows.error();
    } else {
        const korvel::base::Expected<std::vector<joblog::JobRow>> rows = (*store)->List(filter);
        if (rows) PrintJobs(*rows, options.format);
        if (!rows) shown = rows.error();
    }
    if (!shown) {
        std::fprintf(stderr,
                     "cordane log: cannot read the job log %s: %s; give the target the downloads "
                     "write to (--log TARGET or KORVEL_LOG)\n",
                     joblog::ShownTarget(target).c_str(), shown.error().message.c_str());
        return kExitBadInput;
    }
    std::fflush(stdout);
    return kExitOk;
}

}  // namespace cordane::tools
