#include "brenmark/kit_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "base/read_file.h"
#include "base/text.h"

namespace brenmark {
namespace {

constexpr size_t kHeaderSize = 9;
constexpr size_t kOutputDirectoryAt = 19;
constexpr size_t kOutputDirectorySize = 82;
constexpr size_t kShortNameAt = 172;
constexpr size_t kShortNameSize = 13;

uint16_t Get16(const KitRecord& record, size_t at) {
    return static_cast<uint16_t>(record[at] | (record[at + 1] << 8));
}

void Put16(KitRecord& record, size_t at, uint16_t value) {
    record[at] = static_cast<uint8_t>(value);
    record[at + 1] = static_cast<uint8_t>(value >> 8);
}

std::string Text(const KitRecord& record, size_t at, size_t size) {
    const auto* begin = reinterpret_cast<const char*>(record.data() + at);
    return std::string(begin, std::find(begin, begin + size, '\0'));
}

using korvel::base::EqualIgnoringCase;

bool Exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// The names in a directory, in byte order.
std::vector<std::string> Names(const std::string& directory) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory.empty() ? "." : directory, error), end;
         !error && it != end; it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::string KitDirectory(const std::string& path) {
    const size_t last = path.find_last_of("/\\");
    std::string directory = last == std::string::npos ? path : path.substr(0, last + 1);
    std::replace(directory.begin(), directory.end(), '\\', '/');
    return directory;
}

void ReadKitRecords(const uint8_t* data, size_t size, KitRecord& record) {
    size_t at = kHeaderSize;
    while (at < size) {
        const uint8_t type = data[at++];
        if (size - at < 4) return;
        const uint16_t elementSize = static_cast<uint16_t>(data[at] | (data[at + 1] << 8));
        const uint16_t count = static_cast<uint16_t>(data[at + 2] | (data[at + 3] << 8));
        at += 4;
        if (type == 1) {
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

bool ReadKitConfiguration(const std::string& kitDirectory, KitRecord& record) {
    const std::string path = FindIgnoringCase(kitDirectory + "KvSDK/Simulator.cfg");
    const korvel::base::Expected<korvel::base::FileBytes> file =
        korvel::base::ReadWholeFile(path, {.limit = 16u << 20});
    if (!file) {
        Put16(record, 101, 1);
        Put16(record, 4, 2);
        Put16(record, 6, 16);
        const uint32_t speed = 19200;
        for (int i = 0; i < 4; ++i)
            record[103 + static_cast<size_t>(i)] = static_cast<uint8_t>(speed >> (8 * i));
        Put16(record, 167, 1);
        Put16(record, 169, 300);
        return false;
    }
    ReadKitRecords(file->bytes.data(), file->bytes.size(), record);
    return true;
}

KitSettings DecodeKitRecord(const KitRecord& record) {
    KitSettings settings;
    const uint16_t port = Get16(record, 101);
    settings.portWord = static_cast<uint16_t>((port & 0xFF) | (port & 0x8000));
    settings.readerType = static_cast<int16_t>(Get16(record, 10));
    settings.applicationNumber = Get16(record, 0);
    settings.secondNumber = Get16(record, 2);
    settings.thirdNumber = record[171];
    settings.shortName = Text(record, kShortNameAt, kShortNameSize);
    settings.variantS = (record[185] & 1) != 0;
    std::string directory = Text(record, kOutputDirectoryAt, kOutputDirectorySize);
    std::replace(directory.begin(), directory.end(), '\\', '/');
    // The kit writes the directory with its trailing separator; one left out is put back rather
    // than glued to the next name.
    if (!directory.empty() && directory.back() != '/') directory += '/';
    settings.outputDirectory = directory;
    return settings;
}

std::string ApplicationFilePath(const KitSettings& s) {
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

std::string ChooseDriverFile(const KitSettings& settings) {
    const std::string folder = FindIgnoringCase(
        settings.outputDirectory + "LIB/" + DriverFolder(settings.readerType, settings.variantS));
    std::string chosen = folder + "/SREHARD*.sre";
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
            chosen = folder + "/" + name;
        }
    }
    return chosen;
}

std::string FindIgnoringCase(const std::string& path) {
    if (path.empty() || Exists(path)) return path;
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
