#include "brenmark/application_files.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <type_traits>
#include <vector>

#include "base/path.h"
#include "base/read_file.h"
#include "base/text.h"

namespace brenmark {
namespace {

constexpr size_t kHeaderSize = 9;                  // "CONF:V2.0", skipped, not compared
constexpr uint8_t kSettingsRecord = 1;             // the record type that holds the settings
constexpr size_t kConfigurationLimit = 16u << 20;  // a longer file is read as none

// The record's fields in the order of its bytes, each handed to `field`: the one place the
// layout is written. Numbers are little-endian; texts and unread bytes are taken as they are.
template <typename Record, typename Field>
constexpr void EachField(Record& record, Field&& field) {
    field(record.applicationNumber);
    field(record.secondNumber);
    field(record.unread4);
    field(record.unread6);
    field(record.unread8);
    field(record.readerType);
    field(record.unread12);
    field(record.unread14);
    field(record.outputDirectory);
    field(record.serialPort);
    field(record.serialSpeed);
    field(record.unread107);
    field(record.unread167);
    field(record.unread169);
    field(record.thirdNumber);
    field(record.shortName);
    field(record.variantFlags);
    field(record.unread186);
}

template <typename T>
constexpr size_t SizeOf(const T& field) {
    if constexpr (std::is_integral_v<T>) {
        return sizeof field;
    } else {
        return field.size();
    }
}

constexpr size_t LayoutSize() {
    SimulatorRecord record;
    size_t size = 0;
    EachField(record, [&size](const auto& field) { size += SizeOf(field); });
    return size;
}
static_assert(LayoutSize() == SimulatorRecord::kSize, "the layout covers every byte once");

// A text field: up to its first zero byte, or the whole field.
template <size_t N>
std::string Text(const std::array<char, N>& field) {
    return std::string(field.data(), std::find(field.begin(), field.end(), '\0'));
}

using korvel::base::EqualIgnoringCase;

using korvel::base::PathOf;
using korvel::base::Utf8Of;

bool Exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(PathOf(path), error);
}

// The names in a directory, in byte order.
std::vector<std::string> Names(const std::string& directory) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(PathOf(directory.empty() ? "." : directory), error),
         end;
         !error && it != end; it.increment(error)) {
        names.push_back(Utf8Of(it->path().filename()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::string NativeSeparators(std::string path) {
    constexpr char kOther = kPathSeparator == '/' ? '\\' : '/';
    std::replace(path.begin(), path.end(), kOther, kPathSeparator);
    return path;
}

std::string JoinPath(const std::string& directory, const std::string& name) {
    if (directory.empty()) return name;
    const char last = directory.back();
    if (last == '/' || last == kPathSeparator) return directory + name;
    return directory + kPathSeparator + name;
}

std::string KitDirectory(const std::string& path) {
    const size_t last = path.find_last_of("/\\");
    return NativeSeparators(last == std::string::npos ? path : path.substr(0, last + 1));
}

SimulatorRecord::Bytes SimulatorRecord::ToBytes() const {
    Bytes bytes{};
    size_t at = 0;
    EachField(*this, [&](const auto& field) {
        using Field = std::decay_t<decltype(field)>;
        if constexpr (std::is_integral_v<Field>) {
            const auto value = static_cast<std::make_unsigned_t<Field>>(field);
            for (size_t i = 0; i < sizeof value; ++i) {
                bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
            }
        } else {
            std::copy(field.begin(), field.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
        }
        at += SizeOf(field);
    });
    return bytes;
}

SimulatorRecord SimulatorRecord::FromBytes(const Bytes& bytes) {
    SimulatorRecord record;
    size_t at = 0;
    EachField(record, [&](auto& field) {
        using Field = std::decay_t<decltype(field)>;
        if constexpr (std::is_integral_v<Field>) {
            std::make_unsigned_t<Field> value = 0;
            for (size_t i = sizeof value; i-- > 0;) {
                value = static_cast<std::make_unsigned_t<Field>>((value << 8) | bytes[at + i]);
            }
            field = static_cast<Field>(value);
        } else {
            for (size_t i = 0; i < field.size(); ++i) {
                field[i] = static_cast<typename Field::value_type>(bytes[at + i]);
            }
        }
        at += SizeOf(field);
    });
    return record;
}

void SimulatorRecord::SetUnreadFileDefaults() {
    const SimulatorRecord first;
    serialPort = first.serialPort;
    unread4 = first.unread4;
    unread6 = first.unread6;
    serialSpeed = first.serialSpeed;
    unread167 = first.unread167;
    unread169 = first.unread169;
}

void ReadSimulatorRecords(const uint8_t* data, size_t size, SimulatorRecord::Bytes& record) {
    size_t at = kHeaderSize;
    while (at < size) {
        const uint8_t type = data[at++];
        if (size - at < 4) return;
        const uint16_t elementSize = static_cast<uint16_t>(data[at] | (data[at + 1] << 8));
        const uint16_t count = static_cast<uint16_t>(data[at + 2] | (data[at + 3] << 8));
        at += 4;
        if (type == kSettingsRecord) {
            if (size - at < elementSize) return;
            std::copy_n(data + at, std::min<size_t>(elementSize, record.size()), record.begin());
            at += elementSize;
        } else {
            const uint64_t skip = uint64_t{elementSize} * count;
            if (size - at < skip) return;
            at += static_cast<size_t>(skip);
        }
    }
}

korvel::base::Expected<void> ReadSimulatorConfiguration(const std::string& kitDirectory,
                                                        SimulatorRecord& record) {
    const std::string path =
        FindIgnoringCase(kitDirectory + NativeSeparators("KvSDK/Simulator.cfg"));
    korvel::base::Expected<korvel::base::FileBytes> file =
        korvel::base::ReadWholeFile(path, {.limit = kConfigurationLimit});
    if (!file) {
        record.SetUnreadFileDefaults();
        return std::move(file).error();
    }
    SimulatorRecord::Bytes bytes = record.ToBytes();
    ReadSimulatorRecords(file->bytes.data(), file->bytes.size(), bytes);
    record = SimulatorRecord::FromBytes(bytes);
    return {};
}

SimulatorSettings DecodeSimulatorRecord(const SimulatorRecord& record) {
    SimulatorSettings settings;
    const uint16_t port = record.serialPort;
    settings.portWord = static_cast<uint16_t>((port & 0xFF) | (port & 0x8000));
    settings.readerType = record.readerType;
    settings.applicationNumber = record.applicationNumber;
    settings.secondNumber = record.secondNumber;
    settings.thirdNumber = record.thirdNumber;
    settings.shortName = Text(record.shortName);
    settings.variantS = (record.variantFlags & 1) != 0;
    std::string directory = NativeSeparators(Text(record.outputDirectory));
    // The kit writes the directory with its trailing separator; one left out is put back rather
    // than glued to the next name.
    if (!directory.empty() && directory.back() != kPathSeparator) directory += kPathSeparator;
    settings.outputDirectory = directory;
    return settings;
}

std::string ApplicationFilePath(const SimulatorSettings& s) {
    const char* pattern;
    switch (s.readerType) {
        case 0:
            pattern = "%sDownload/KvTal/App%.2d/TS2%s%.3d%.2d%.2d%.2d%.2d.sre";
            break;
        case 1:
            pattern = "%sDownload/KvOrb/App%.2d/OS2%s%.3d%.2d%.2d%.2d%.2d.sre";
            break;
        case 2:
            pattern = "%sDownload/KvOrb512/App%.2d/OA2%s%.3d%.2d%.2d%.2d%.2d.sre";
            break;
        case 4:
            pattern = "%sDownload/KvQuin3/App%.2d/OG2%s%.3d%.2d%.2d%.2d%.2d.sre";
            break;
        case 5:
            pattern = "%sDownload/KvOrb1Mb/App%.2d/OB2%s%.3d%.2d%.2d%.2d%.2d.sre";
            break;
        case 6:
            pattern = "%sDownload/KvTal1Mb/App%.2d/TB2%s%.3d%.2d%.2d%.2d%.2d.sre";
            break;
        default:
            pattern = "%sDownload/KvTal512/App%.2d/TA2%s%.3d%.2d%.2d%.2d%.2d.sre";
            break;
    }
    // The kit's folders, with the system's separator.
    const std::string folders = NativeSeparators(pattern);
    pattern = folders.c_str();
    const int number = static_cast<int>(s.applicationNumber);
    const int needed = std::snprintf(nullptr, 0, pattern, s.outputDirectory.c_str(), number,
                                     s.shortName.c_str(), number, static_cast<int>(s.secondNumber),
                                     static_cast<int>(s.thirdNumber), 1, 1);
    std::string path(static_cast<size_t>(needed) + 1, '\0');
    std::snprintf(path.data(), path.size(), pattern, s.outputDirectory.c_str(), number,
                  s.shortName.c_str(), number, static_cast<int>(s.secondNumber),
                  static_cast<int>(s.thirdNumber), 1, 1);
    path.resize(static_cast<size_t>(needed));
    return FindIgnoringCase(path);
}

std::string DriverFolder(int readerType, bool variantS) {
    switch (readerType) {
        case 0:
        case 1:
            return "";
        case 2:
            return "KvOrb512";
        case 4:
            return variantS ? "KvQuin3S" : "KvQuin3";
        case 5:
            return variantS ? "KvOrb1MS" : "KvOrb1Mb";
        case 6:
            return variantS ? "KvTal1MS" : "KvTal1Mb";
        default:
            return "KvTal512";
    }
}

std::string ChooseDriverFile(const SimulatorSettings& settings) {
    const std::string folder = FindIgnoringCase(JoinPath(
        settings.outputDirectory + "LIB", DriverFolder(settings.readerType, settings.variantS)));
    std::string chosen = JoinPath(folder, "SREHARD*.sre");
    unsigned long best = 0;
    for (const std::string& name : Names(folder)) {
        if (name.size() < 11 || !EqualIgnoringCase(name.substr(0, 7), "SREHARD") ||
            !EqualIgnoringCase(name.substr(name.size() - 4), ".sre")) {
            continue;
        }
        unsigned long number = 0;
        for (size_t i = 7; i < name.size() && std::isdigit(static_cast<unsigned char>(name[i]));
             ++i) {
            number =
                std::min(number * 10 + static_cast<unsigned long>(name[i] - '0'), 0xFFFFFFFFul);
        }
        if (number > best) {
            best = number;
            chosen = JoinPath(folder, name);
        }
    }
    return chosen;
}

std::string FindIgnoringCase(const std::string& path) {
    if (path.empty() || Exists(path)) return path;
#ifdef _WIN32
    // The system's own names compare without regard to case already.
    return path;
#endif
    // Walk the names from the first that does not exist as written.
    std::string done = path.front() == '/' ? "/" : "";
    size_t at = done.size();
    while (at <= path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        const std::string name = path.substr(at, end - at);
        const bool last = end == path.size();
        if (!name.empty()) {
            std::string next = done + name;
            if (!Exists(next)) {
                for (const std::string& candidate : Names(done.empty() ? "." : done)) {
                    if (EqualIgnoringCase(candidate, name)) {
                        next = done + candidate;
                        break;
                    }
                }
                if (!Exists(next)) return path;
            }
            done = next;
        }
        if (last) break;
        done += '/';
        at = end + 1;
    }
    return done;
}

}  // namespace brenmark
