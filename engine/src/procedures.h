// The download procedures the worker hands an open loader session to. Each returns only after
// success; a failure ends the job inside the procedure (Job::Fail).
#ifndef CORDANE_PROCEDURES_H
#define CORDANE_PROCEDURES_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "job.h"

namespace cordane {

// 64 Kb readers. `buffer` holds one 0 byte and then the image (image index i is buffer[1 + i],
// reader address 0x2000 + i); imageLength is 2 to 65,280.
void RawDownload(Job& job, uint8_t* buffer, size_t imageLength);
void FramedDownload(Job& job, uint8_t* buffer, size_t imageLength);

// Reader types 2 to 9.
void LargeReaderDownload(Job& job);

// Reads and converts a large reader's files as the download will, without a reader: the text of
// what stands in the way (a file that cannot be read or converted, an image too long for the
// reader's memory, an enciphered file without its key), or nothing.
std::optional<std::string> CheckLargeReaderFiles(const CLoadInterface& client);

}  // namespace cordane

#endif
