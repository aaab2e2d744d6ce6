#include "download/engine_client.h"

namespace cordane::tools {

JobSettings JobSettingsOf(const DownloadOptions& options) {
    JobSettings settings;
    settings.downloadType = static_cast<uint32_t>(options.type);
    settings.eraseDataFlash = options.eraseData;
    settings.askQuestion = options.ask;
    settings.silent = options.silent;
    settings.keySelector = options.key.selector.value_or(options.key.key ? kToolKeySelector : 0);
    if (options.appNumber) {
        settings.checkAppNumber = true;
        settings.appNumber = static_cast<uint32_t>(*options.appNumber);
        settings.previousApp1 = static_cast<uint32_t>(options.previous->first);
        settings.previousApp2 = static_cast<uint32_t>(options.previous->second);
    }
    if (options.identity) {
        settings.identityCheck = true;
        settings.expectedIdentity = *options.identity;
    }
    return settings;
}

korvel::base::Expected<void> RegisterEngineKey(uint32_t selector, const BaseKey& key) {
    if (RegisterBaseKey(selector, key.data()) != 0) {
        return korvel::base::Fail(
            "the base key given with --key could not be handed to the download engine (key "
            "selector " +
            std::to_string(selector) + ")");
    }
    return {};
}

CWinThread* StartDownload(CLoadInterface& job, const JobSettings& settings) {
    job.flags = JobFlags(settings);
    ParamBlock block = JobParamBlock(settings);
    UpdateParam(block.data());
    return BeginDownload(&job, false);
}

int AnswerMessageBox(HWND, const char* text, const char* caption, unsigned style, void* context) {
    const auto& answers = *static_cast<const MessageBoxAnswers*>(context);
    const bool question = (style & 0xF) == MB_YESNO;
    try {
        answers.queue->Push(events::Box{caption != nullptr ? caption : "",
                                        text != nullptr ? text : "", question,
                                        question && answers.yes});
    } catch (...) {
        // Out of memory for the text: the message is lost, the answer is not.
    }
    if (!question) return IDOK;
    return answers.yes ? IDYES : IDNO;
}

}  // namespace cordane::tools
