#include "cli/log_options.h"

#include <cstdio>
#include <set>

#include "cli/arguments.h"

namespace cordane::tools {

namespace {

constexpr int64_t kMostSecondsBack = 100LL * 366 * 24 * 3600;  // a century back is far enough

// `count` digits at `at`, as a number within [low, high].
bool Digits(const std::string& text, size_t at, size_t count, int low, int high, int& value) {
    if (at + count > text.size()) return false;
    int number = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        number = number * 10 + (text[i] - '0');
    }
    if (number < low || number > high) return false;
    value = number;
    return true;
}

int DaysIn(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<SinceTime> ParseSince(const std::string& given) {
    if (given.empty()) return std::nullopt;
    SinceTime since;
    const char unit = given.back();
    if (unit == 's' || unit == 'm' || unit == 'h' || unit == 'd') {
        const std::string digits = given.substr(0, given.size() - 1);
        if (digits.empty() || digits.size() > 9) return std::nullopt;
        int64_t number = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9') return std::nullopt;
            number = number * 10 + (c - '0');
        }
        const int64_t scale = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : 86400;
        if (number > kMostSecondsBack / scale) return std::nullopt;
        since.secondsAgo = number * scale;
        return since;
    }
    std::string text = given;
    if (text.back() == 'Z') text.pop_back();
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!Digits(text, 0, 4, 1970, 9999, year) || text.size() < 10 || text[4] != '-' ||
        !Digits(text, 5, 2, 1, 12, month) || text[7] != '-' ||
        !Digits(text, 8, 2, 1, DaysIn(year, month), day)) {
        return std::nullopt;
    }
    if (text.size() > 10) {
        if ((text[10] != 'T' && text[10] != ' ') || !Digits(text, 11, 2, 0, 23, hour) ||
            text.size() < 16 || text[13] != ':' || !Digits(text, 14, 2, 0, 59, minute)) {
            return std::nullopt;
        }
        if (text.size() > 16 &&
            (text.size() != 19 || text[16] != ':' || !Digits(text, 17, 2, 0, 59, second))) {
            return std::nullopt;
        }
    }
    char utc[80];
    std::snprintf(utc, sizeof utc, "%04d-%02d-%02dT%02d:%02d:%02d.000Z", year, month, day, hour,
                  minute, second);
    since.utc = utc;
    return since;
}

korvel::base::Expected<LogOptions> ParseLogOptions(int argc, char** argv) {
    LogOptions options;
    std::set<std::string> given;
    bool json = false;
    bool csv = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::string name = arg.substr(0, arg.find('='));
        for (const char* once : {"--log", "--since", "--port"}) {
            if (name == once && !given.insert(name).second) {
                return UsageError(name + " is given twice: give it once");
            }
        }
        std::string text;
        auto value = [&](const char* option) {
            return MatchOption(argc, argv, i, option, text) == OptionMatch::Value;
        };
        if (IsHelpOption(arg)) {
            options.help = true;
            return options;
        } else if (value("--log")) {
            if (text.empty()) {
                return UsageError(
                    "--log needs a target: an SQLite file or a postgresql:// address");
            }
            options.target = text;
        } else if (value("--since")) {
            options.since = ParseSince(text);
            if (!options.since) {
                return UsageError("bad --since \"" + text +
                                  "\": give a UTC date and time such as 2026-12-08 or "
                                  "2026-12-08T09:30, or a time back from now such as 90m, 24h or "
                                  "7d");
            }
        } else if (value("--port")) {
            if (text.empty()) {
                return UsageError("--port needs the port as the jobs name it, e.g. KORVEL03");
            }
            options.port = text;
        } else if (arg == "--failed") {
            options.failed = true;
        } else if (arg == "--stats") {
            options.stats = true;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--csv") {
            csv = true;
        } else if (arg == "--log" || arg == "--since" || arg == "--port") {
            return UsageError(arg + " needs a value");
        } else {
            return UsageError(
                (arg.rfind("-", 0) == 0 ? "unknown option " : "one argument too many: ") + arg);
        }
    }
    if (json && csv) return UsageError("give --json or --csv, not both");
    options.format = json  ? LogOptions::Format::kJson
                     : csv ? LogOptions::Format::kCsv
                           : LogOptions::Format::kTable;
    return options;
}

}  // namespace cordane::tools
