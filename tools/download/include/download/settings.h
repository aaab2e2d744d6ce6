// One download job as the engine takes it: the flags word of the job object and the 50-byte
// parameter block handed over with UpdateParam, both built from the same settings.
#ifndef CORDANE_TOOLS_DOWNLOAD_SETTINGS_H
#define CORDANE_TOOLS_DOWNLOAD_SETTINGS_H

#include <array>
#include <cstdint>

#include "cordane/cordane.h"
#include "cordane/job_words.h"

namespace cordane::tools {

// The flags word's options (download type, erase, question, silent, debug load), then the fields
// of the parameter block.
struct JobSettings : FlagOptions {
    uint32_t keySelector = 0;  // 0 base key A, 1 base key B, else a registered key
    bool checkAppNumber = false;
    uint32_t appNumber = 0;
    uint32_t previousApp1 = 0;
    uint32_t previousApp2 = 0;
    bool identityCheck = false;
    uint32_t expectedIdentity = 0;
};

using ParamBlock = std::array<uint8_t, KV_PARAM_BLOCK_SIZE>;

// The download type in the low bits and an option bit for each option set.
uint32_t JobFlags(const JobSettings& settings);

// Every field at its offset, little-endian; the check fields are 1 when the check is on and the
// reserved bytes 0.
ParamBlock JobParamBlock(const JobSettings& settings);

}  // namespace cordane::tools

#endif
