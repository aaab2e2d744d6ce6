// Binary download files (download types 1 and 2) as the large-reader download reads them: the
// checks of their size, the fields the application checks read, and the region images built from
// them. Pure functions on bytes in memory, shared by the engine, the tools and the fuzz target.
#ifndef CORDANE_BINARY_IMAGE_H
#define CORDANE_BINARY_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace cordane::large {

// Why a file of `size` bytes cannot be a download file, naming `path`; nothing when it can.
std::optional<std::string> CheckBinarySize(const std::string& path, size_t size);

// Region lengths of a file of `size` bytes (a size CheckBinarySize accepts).
size_t AppRegionLength(size_t size);    // from 0xD000, its first 0x1000 bytes blank
size_t UpperRegionLength(size_t size);  // from 0x100000; 0 for shorter files

// Fields of a (deciphered) file: the 16-bit identity, the three characters of the application
// number, and that number read as decimal digits up to the first character that is not one.
uint32_t FileIdentity(const uint8_t* file);
uint32_t FileAppNumber(const uint8_t* file);

// Region images, written at `image` (one region at a time, at most 0x7FFFF bytes). Each returns
// the region's length.
size_t BuildDriverImage(const uint8_t* file, uint8_t* image);
size_t BuildAppImage(const uint8_t* file, size_t size, uint8_t* image);
size_t BuildUpperImage(const uint8_t* file, size_t size, uint8_t* image);

}  // namespace cordane::large

#endif
