// Application file naming and discovery for the automatic run: the development kit's simulator
// configuration ("KvSDK/Simulator.cfg" in the kit directory), the application file the kit built
// for the configured reader type, and the newest driver library for it. A kit made on Windows
// names its files in any case and writes its paths with backslashes: names are matched without
// regard to case and both separators are accepted.
#ifndef BRENMARK_APPLICATION_FILES_H
#define BRENMARK_APPLICATION_FILES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/error.h"

namespace brenmark {

// The simulator configuration record: the settings a type-1 record of the configuration file
// holds, 187 bytes, little-endian, in this order. The values are those of a record the dialog has
// just made; the fields this program does not read keep the kit's own bytes.
struct SimulatorRecord {
    static constexpr size_t kSize = 187;
    using Bytes = std::array<uint8_t, kSize>;

    uint16_t applicationNumber = 0;  // in the application file's name
    uint16_t secondNumber = 0;       // the second number in the application file's name
    uint16_t unread4 = 2;            // bytes 4 to 9: the kit's own, not read here
    uint16_t unread6 = 16;
    uint16_t unread8 = 1;
    int16_t readerType = 0;  // the reader type index, as in the terminal-type list
    uint16_t unread12 = 4;   // bytes 12 to 18: the kit's own, not read here
    std::array<uint8_t, 5> unread14{};
    // The kit's output directory, text ending in a zero byte, with its trailing backslash.
    std::array<char, 82> outputDirectory{};
    // The serial port: the low byte its number; bit 15 set for a virtual reader port.
    uint16_t serialPort = 1;
    uint32_t serialSpeed = 19200;         // bits per second; not read here (the link has its own)
    std::array<uint8_t, 60> unread107{};  // bytes 107 to 170: the kit's own, not read here
    uint16_t unread167 = 1;
    uint16_t unread169 = 300;
    uint8_t thirdNumber = 0;  // the third number in the application file's name
    // The application's short name, text ending in a zero byte. A new record holds the kit's
    // defaults of another layout here (2 at byte 175, 1 at 177 and at 179), which the zero first
    // byte hides; only a type-1 record cut inside the name shows them.
    std::array<char, 13> shortName{0, 0, 0, 2, 0, 1, 0, 1};
    uint8_t variantFlags = 0;  // bit 0: the "S" variant of the reader
    uint8_t unread186 = 0;

    // The record's bytes, and a record read from them: the one place its layout is written.
    Bytes ToBytes() const;
    static SimulatorRecord FromBytes(const Bytes& bytes);

    // When the configuration file cannot be read: the serial port (COM1), the fields at bytes 4
    // and 6, the speed and the fields at 167 and 169 take their first values again; the others
    // keep theirs.
    void SetUnreadFileDefaults();
};

// The separator of the system's paths, which the paths made here are written with.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif
// A path written with either separator, with the system's.
std::string NativeSeparators(std::string path);
// `name` in `directory` (with or without its trailing separator; empty: `name` alone).
std::string JoinPath(const std::string& directory, const std::string& name);

// The kit directory of a |PATHMKI= path: the path cut after its last separator (/ or \), the
// whole path when it has none, written with the system's separator.
std::string KitDirectory(const std::string& path);

// Reads the configuration's record stream into the record's bytes: the 9-byte header is skipped,
// a type-1 record's body replaces the record's first bytes (at most 187, so that a short body
// leaves the rest as it was), other records are skipped by size times count, and every short
// read ends the reading. A type-1 body cut short by the end of the file is not used.
void ReadSimulatorRecords(const uint8_t* data, size_t size, SimulatorRecord::Bytes& record);
// The configuration file of the kit directory into `record`. When it cannot be read (which is not
// reported) the record takes SetUnreadFileDefaults and the read's error comes back.
korvel::base::Expected<void> ReadSimulatorConfiguration(const std::string& kitDirectory,
                                                        SimulatorRecord& record);

// The record's fields as the dialog uses them.
struct SimulatorSettings {
    uint16_t portWord = 1;
    int readerType = 0;
    std::string outputDirectory;  // with the system's separators, and one at its end
    unsigned applicationNumber = 0;
    unsigned secondNumber = 0;
    unsigned thirdNumber = 0;
    std::string shortName;
    bool variantS = false;
};
SimulatorSettings DecodeSimulatorRecord(const SimulatorRecord& record);

// The application file's path for the settings' reader type (its name as the kit builds it).
std::string ApplicationFilePath(const SimulatorSettings& settings);
// The driver library folder of a reader type ("" for the small readers 0 and 1).
std::string DriverFolder(int readerType, bool variantS);
// The newest "SREHARD<number>….sre" of the folder: the highest number above 0 (the first in name
// order among equals); the pattern ".../SREHARD*.sre" when there is none.
std::string ChooseDriverFile(const SimulatorSettings& settings);

// An existing file or directory named as `path` up to the case of each name, or `path` itself.
std::string FindIgnoringCase(const std::string& path);

}  // namespace brenmark

#endif
