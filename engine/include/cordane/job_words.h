// The two words a client hands a job over in: the flags word (the download type in the low bits,
// an option bit for each option set) and the fields of the 50-byte parameter block. The download
// manager, the cordane tool and the operator's dialog all build them here.
#ifndef CORDANE_JOB_WORDS_H
#define CORDANE_JOB_WORDS_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "cordane/cordane.h"

namespace cordane {

// What the flags word says beside the download type.
struct FlagOptions {
    uint32_t downloadType = KV_DOWNLOAD_NORMAL;  // 0 to 3
    bool eraseDataFlash = false;
    bool eraseCode = false;  // erase only; download type 3 always has it
    bool askQuestion = false;
    bool silent = false;
    bool debugLoad = false;
};

inline uint32_t FlagsWord(const FlagOptions& options) {
    uint32_t flags = options.downloadType;
    if (options.eraseDataFlash) flags |= KV_FLAG_ERASE_DATA_FLASH;
    if (options.downloadType == KV_DOWNLOAD_ERASE_CODE || options.eraseCode) {
        flags |= KV_FLAG_ERASE_CODE;
    }
    if (options.askQuestion) flags |= KV_FLAG_ASK_QUESTION;
    if (options.silent) flags |= KV_FLAG_SILENT;
    if (options.debugLoad) flags |= KV_FLAG_DEBUG_LOAD;
    return flags;
}

// Writes one 32-bit field of the parameter block at its offset (KV_PARAM_*), low byte first.
inline void PutParamField(std::array<uint8_t, KV_PARAM_BLOCK_SIZE>& block, size_t offset,
                          uint32_t value) {
    for (size_t i = 0; i < 4; ++i) block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace cordane

#endif
