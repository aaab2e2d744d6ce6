#include "job_settings.h"

#include <cstddef>

namespace cordane::tools {

namespace {

void Put32(ParamBlock& block, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

uint32_t JobFlags(const JobSettings& settings) {
    uint32_t flags = settings.downloadType;
    if (settings.eraseDataFlash) flags |= KV_FLAG_ERASE_DATA_FLASH;
    if (settings.downloadType == KV_DOWNLOAD_ERASE_CODE || settings.eraseCode) {
        flags |= KV_FLAG_ERASE_CODE;
    }
    if (settings.askQuestion) flags |= KV_FLAG_ASK_QUESTION;
    if (settings.silent) flags |= KV_FLAG_SILENT;
    if (settings.debugLoad) flags |= KV_FLAG_DEBUG_LOAD;
    return flags;
}

ParamBlock JobParamBlock(const JobSettings& settings) {
    ParamBlock block{};
    Put32(block, KV_PARAM_CHECK_APP_NUMBER, settings.checkAppNumber ? 1 : 0);
    Put32(block, KV_PARAM_APP_NUMBER, settings.appNumber);
    Put32(block, KV_PARAM_PREVIOUS_APP_1, settings.previousApp1);
    Put32(block, KV_PARAM_PREVIOUS_APP_2, settings.previousApp2);
    Put32(block, KV_PARAM_KEY_SELECTOR, settings.keySelector);
    Put32(block, KV_PARAM_IDENTITY_CHECK, settings.identityCheck ? 1 : 0);
    Put32(block, KV_PARAM_EXPECTED_IDENTITY, settings.expectedIdentity);
    return block;
}

}  // namespace cordane::tools
