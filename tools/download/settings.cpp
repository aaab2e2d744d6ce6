#include "download/settings.h"

namespace cordane::tools {

uint32_t JobFlags(const JobSettings& settings) {
    return FlagsWord(settings);
}

ParamBlock JobParamBlock(const JobSettings& settings) {
    ParamBlock block{};
    PutParamField(block, KV_PARAM_CHECK_APP_NUMBER, settings.checkAppNumber ? 1 : 0);
    PutParamField(block, KV_PARAM_APP_NUMBER, settings.appNumber);
    PutParamField(block, KV_PARAM_PREVIOUS_APP_1, settings.previousApp1);
    PutParamField(block, KV_PARAM_PREVIOUS_APP_2, settings.previousApp2);
    PutParamField(block, KV_PARAM_KEY_SELECTOR, settings.keySelector);
    PutParamField(block, KV_PARAM_IDENTITY_CHECK, settings.identityCheck ? 1 : 0);
    PutParamField(block, KV_PARAM_EXPECTED_IDENTITY, settings.expectedIdentity);
    return block;
}

}  // namespace cordane::tools
