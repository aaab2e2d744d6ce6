#include "brenmark/options_file.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "base/file_lock.h"
#include "base/path.h"
#include "base/read_file.h"
#include "base/text.h"

namespace brenmark {
namespace {

using korvel::base::EqualIgnoringCase;

// The blanks the profile-string service drops around names and values.
constexpr std::string_view kProfileBlanks = " \t\r\v\f";

std::string_view Trim(std::string_view text) {
    return korvel::base::Trim(text, kProfileBlanks);
}

std::string Keep(std::string_view value, size_t bufferSize) {
    if (bufferSize == 0) return {};
    return std::string(value.substr(0, bufferSize - 1));
}

}  // namespace

std::string ReadProfileString(std::string_view content, std::string_view section,
                              std::string_view key, std::string_view defaultValue,
                              size_t bufferSize) {
    bool inSection = false;
    bool sectionSeen = false;
    size_t at = 0;
    while (at < content.size()) {
        size_t end = content.find('\n', at);
        if (end == std::string_view::npos) end = content.size();
        const std::string_view line = Trim(content.substr(at, end - at));
        at = end + 1;
        if (!line.empty() && line.front() == '[') {
            // Only the first section of the name counts.
            if (inSection) break;
            const size_t close = line.find(']');
            const std::string_view name =
                Trim(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
            inSection = !sectionSeen && EqualIgnoringCase(name, section);
            sectionSeen = sectionSeen || inSection;
            continue;
        }
        if (!inSection) continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        if (!EqualIgnoringCase(Trim(line.substr(0, equals)), key)) continue;
        std::string_view value = Trim(line.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return Keep(value, bufferSize);
    }
    return Keep(defaultValue, bufferSize);
}

uint32_t ProfileNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint64_t value = 0;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > 0xFFFFFFFFu) {
            overflow = true;
            value = 0xFFFFFFFFu;
        }
    }
    if (overflow) return 0xFFFFFFFFu;
    const auto number = static_cast<uint32_t>(value);
    return negative ? 0u - number : number;
}

Options ReadOptions(std::string_view content, bool portFixed) {
    Options options;
    const std::string ask = ReadProfileString(content, "DATA_FLASH", "AskQuestion", "-1", 4);
    if (!ask.empty() && ask[0] == '1') options.askQuestion = 1;
    const std::string erase = ReadProfileString(content, "DATA_FLASH", "Erase", "-1", 4);
    options.eraseDataFlash = erase == "1" ? 1 : 0;
    if (!portFixed) {
        const std::string port = ReadProfileString(content, "SERIAL_PORT", "SerialPort", "-1", 4);
        // One character, compared as a signed 8-bit character: '1' and every character above it.
        const auto first = static_cast<signed char>(port.empty() ? '\0' : port[0]);
        if (first >= '1') options.serialPort = static_cast<uint32_t>(first - '0');
    }
    const std::string type = ReadProfileString(content, "OPTIONS", "DownloadType", "-1", 4);
    if (type == "1") options.downloadType = 1;
    if (type == "2") options.downloadType = 2;
    if (!type.empty() && type[0] == '3') options.downloadType = 3;
    return options;
}

ApplicationNumbers ReadApplicationNumbers(std::string_view content) {
    ApplicationNumbers numbers;
    if (ProfileNumber(ReadProfileString(content, "CHECK_APP_NUM", "Check", "0", 100)) == 0) {
        return numbers;
    }
    numbers.check = 1;
    numbers.number =
        ProfileNumber(ReadProfileString(content, "CHECK_APP_NUM", "AppNumber", "0", 100));
    numbers.previous1 =
        ProfileNumber(ReadProfileString(content, "CHECK_APP_NUM", "PreviousAppNumber1", "0", 100));
    numbers.previous2 =
        ProfileNumber(ReadProfileString(content, "CHECK_APP_NUM", "PreviousAppNumber2", "0", 100));
    return numbers;
}

// ---- The seal's check.

korvel::base::Expected<void> CheckOptionsFileSeal(const std::string& path) {
    using korvel::base::Cause;
    using korvel::base::Error;
    auto refuse = [](const char* message, Cause cause) {
        return Error(korvel::base::kFailureCode, message, {}, cause);
    };
    // Opened for reading and writing, as the check has always done: a file another program
    // holds read-only, or that is itself read-only, is refused; and so, without waiting, is one
    // another program holds locked (cordane seal while it writes a new seal).
    korvel::base::Expected<korvel::base::FileLock> lock =
        korvel::base::FileLock::TryAcquire(path, korvel::base::FileAccess::ReadWrite);
    if (!lock) return refuse("Erreur lecture du répertoire courant\n", lock.error().cause);
    const korvel::base::Expected<korvel::base::FileInfo> info = lock->file().Info();
    if (!info || info->kind != korvel::base::FileKind::Regular) {
        return refuse("Erreur lecture fichier ini\n", Cause::NotRegularFile);
    }
    korvel::base::Expected<korvel::base::FileBytes> read = korvel::base::ReadToEnd(lock->file());
    if (!read) {
        return read.error().cause == Cause::OutOfMemory
                   ? refuse("Erreur allocation mémoire\n", Cause::OutOfMemory)
                   : refuse("Erreur lecture fichier ini\n", read.error().cause);
    }
    switch (korvel::kit::CheckSeal(read->bytes)) {
        case korvel::kit::SealState::Correct:
            return {};
        case korvel::kit::SealState::NoMarker:
            return refuse("Incorrect INI file\n", Cause::BadInput);
        case korvel::kit::SealState::Wrong:
            break;
    }
    // The value only is wrong: no message of the check's own.
    return refuse("", Cause::BadInput);
}

// ---- Image choice.

std::optional<int> BinaryImageNumber(std::string_view name) {
    std::string upper(name);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const size_t at = upper.find(".KOR");
    if (at == std::string::npos || at < 4 || upper.size() <= 8) return std::nullopt;
    int number = 0;
    for (size_t i = at - 4; i < at; ++i) {
        if (upper[i] < '0' || upper[i] > '9') return std::nullopt;
        number = number * 10 + (upper[i] - '0');
    }
    return number;
}

std::string ChooseBinaryImage(const std::string& directory) {
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(korvel::base::PathOf(directory), error), end;
         !error && it != end; it.increment(error)) {
        std::error_code typeError;
        if (!it->is_regular_file(typeError)) continue;
        const std::string name = korvel::base::Utf8Of(it->path().filename());
        if (name.size() >= 4 &&
            EqualIgnoringCase(std::string_view(name).substr(name.size() - 4), ".kor")) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    std::string best;
    int bestNumber = -1;
    fs::file_time_type bestTime = fs::file_time_type::min();
    for (const std::string& name : names) {
        const std::optional<int> number = BinaryImageNumber(name);
        if (!number) continue;
        // The file system's last-write time, to the system's own precision.
        std::error_code timeError;
        const fs::file_time_type time = fs::last_write_time(
            korvel::base::PathOf(directory) / korvel::base::PathOf(name), timeError);
        if (timeError) continue;
        const bool later = time > bestTime;
        if (*number > bestNumber || (*number == bestNumber && later) || best.empty()) {
            best = name;
            bestNumber = *number;
            bestTime = time;
        }
    }
    return best;
}

}  // namespace brenmark
