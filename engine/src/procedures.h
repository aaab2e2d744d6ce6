// The download procedures the worker hands an open loader session to. Each returns only after
// success; a failure ends the job inside the procedure (Job::Fail).
#ifndef CORDANE_PROCEDURES_H
#define CORDANE_PROCEDURES_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "cordane/formats/large_images.h"
#include "job.h"

namespace cordane {

// 64 Kb readers. `buffer` holds one 0 byte and then the image (image index i is buffer[1 + i],
// reader address 0x2000 + i); imageLength is 2 to 57,344.
void RawDownload(Job& job, uint8_t* buffer, size_t imageLength);
void FramedDownload(Job& job, uint8_t* buffer, size_t imageLength);

// A large reader's files, read once before the reader is reset: the binary download file
// (deciphered in download type 1) and every region image, checked against the reader's flash.
struct LargeFiles {
    std::vector<uint8_t> binary;  // types 1 and 2: the file, then 0xA000 zero bytes
    large::DownloadImages images;
};

// Reads, converts and checks a large reader's files for the job's download type. The text of
// what stands in the way (a file that cannot be read or converted, an enciphered file without its
// key, anything the reader would refuse or a download that would leave it without a whole image),
// or the files. Never called for an erase-only job.
std::variant<std::unique_ptr<LargeFiles>, std::string> PrepareLargeFiles(const Job& job);

// Reader types 2 to 9. `files` is null for an erase-only job.
void LargeReaderDownload(Job& job, const LargeFiles* files);

}  // namespace cordane

#endif
