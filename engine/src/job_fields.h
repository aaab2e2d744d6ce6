// Reading a job's fields the way every part of the engine reads them, and owning the files it
// opens.
#ifndef CORDANE_JOB_FIELDS_H
#define CORDANE_JOB_FIELDS_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cordane/cordane.h"
#include "zr318/ports.h"

namespace cordane {

inline constexpr uint32_t kVirtualPortBit = korvel::ports::kVirtualBit;

// The port identifier the serial link takes for a port word: bit 15 set gives 0x80000000 plus
// the low 15 bits. The conversions live once, with the link's port naming.
inline uint32_t PortIdentifier(int16_t word) {
    return korvel::ports::WordToId(static_cast<uint16_t>(word));
}

// A path field as a string, even when the client left it without its terminator.
inline std::string PathOf(const char (&field)[KV_PATH_SIZE]) {
    return std::string(field, strnlen(field, KV_PATH_SIZE));
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace cordane

#endif
