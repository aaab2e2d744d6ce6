// The development kit's files for the automatic run: the kit's simulator configuration
// ("KvSDK/Simulator.cfg"), the application file the kit built for the configured reader type,
// and the newest driver library for it. A kit made on Windows names its files in any case and
// writes its paths with backslashes: names are matched without regard to case and both
// separators are accepted.
#ifndef BRENMARK_KIT_FILES_H
#define BRENMARK_KIT_FILES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace brenmark {

using KitRecord = std::array<uint8_t, 187>;

// The kit directory of a |PATHMKI= path: the path cut after its last separator (/ or \), the
// whole path when it has none.
std::string KitDirectory(const std::string& path);

// Reads the configuration's record stream into `record` (which holds the defaults on entry): the
// 9-byte header is skipped, a type-1 record's body replaces the record's first bytes (at most
// 187), other records are skipped by size times count, and every short read ends the reading. A
// type-1 body cut short by the end of the file is not used.
void ReadKitRecords(const uint8_t* data, size_t size, KitRecord& record);
// The configuration file of the kit directory into `record`; false when it cannot be read (the
// port field is then set back to COM1 and the other fields to their first values).
bool ReadKitConfiguration(const std::string& kitDirectory, KitRecord& record);

// The fields of the record that the dialog uses.
struct KitSettings {
    uint16_t portWord = 1;
    int readerType = 0;
    std::string outputDirectory;  // with '/' separators and a trailing '/'
    unsigned applicationNumber = 0;
    unsigned secondNumber = 0;
    unsigned thirdNumber = 0;
    std::string shortName;
    bool variantS = false;
};
KitSettings DecodeKitRecord(const KitRecord& record);

// The application file's path for the settings' reader type (its name as the kit builds it).
std::string ApplicationFilePath(const KitSettings& settings);
// The driver library folder of a reader type ("" for the small readers 0 and 1).
std::string DriverFolder(int readerType, bool variantS);
// The newest "SREHARD<number>….sre" of the folder: the highest number above 0 (the first in name
// order among equals); the pattern ".../SREHARD*.sre" when there is none.
std::string ChooseDriverFile(const KitSettings& settings);

// An existing file or directory named as `path` up to the case of each name, or `path` itself.
std::string FindIgnoringCase(const std::string& path);

}  // namespace brenmark

#endif
