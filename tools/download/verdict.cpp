#include "download/verdict.h"

#include <cstdio>
#include <cstring>

#include "base/json_writer.h"
#include "cordane/cordane.h"
#include "cordane/exit_codes.h"
#include "cordane/readers.h"

namespace cordane::tools {

using korvel::base::JsonWriter;

std::string ReaderName(int reader) {
    if (reader < 0 || reader > kLastReaderType) return "reader";
    return cordane::ReaderName(static_cast<eReaderType>(reader));
}

int RefuseDownload(bool json, const std::string& message, int code) {
    std::fprintf(stderr, "cordane download: %s\n", message.c_str());
    if (json) {
        JsonWriter error;
        error.BeginObject().Key("event").String("error").Key("text").String(message).EndObject();
        JsonWriter exit;
        exit.BeginObject().Key("event").String("exit").Key("code").Number(code).EndObject();
        std::fputs((error.text() + "\n" + exit.text() + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
    return code;
}

namespace {

// What to do next after `code`, as the exit-code table says it.
const char* HintOf(int code) {
    return FactsOfExitCode(code)->hint;
}

}  // namespace

std::string Verdict(int code, const DownloadOptions& options, const PortChoice& port, int signal) {
    const std::string where = port.throughPath ? port.device : port.text;
    // The reader type as the user can check it: none when it was never known (a detection that
    // failed).
    const bool typed = options.reader >= 0;
    const std::string readerOption =
        typed ? "--reader " + std::to_string(options.reader) : std::string("--reader");
    char text[512];
    const bool appNumberChecked =
        options.appNumber && options.type == KV_DOWNLOAD_AUTO_BINARY && options.reader >= KvOrb512;
    switch (code) {
        case kExitOk:
            if (options.type == static_cast<int>(KV_DOWNLOAD_ERASE_CODE)) {
                std::snprintf(text, sizeof text, "the code of the reader on %s is erased",
                              where.c_str());
            } else {
                std::snprintf(text, sizeof text, "download completed: %s is in the reader on %s",
                              options.application.c_str(), where.c_str());
            }
            break;
        case kExitBadInput:
            if (options.silent) {
                std::snprintf(text, sizeof text,
                              "download refused: the file or the port was refused (exit code 1); "
                              "run without --silent to see why");
            } else {
                std::snprintf(text, sizeof text, "download refused: %s (exit code 1)",
                              HintOf(code));
            }
            break;
        case kExitOpenFailed:
            std::snprintf(text, sizeof text,
                          "the download session could not be opened on %s: %s%s (exit code 3)",
                          where.c_str(), HintOf(code),
                          typed ? (" and that " + readerOption + " is its type").c_str() : "");
            break;
        case kExitCommunication:
            if (appNumberChecked) {
                // The engine ends a wrong application number with this code too.
                std::snprintf(text, sizeof text,
                              "%s does not carry application number %d, or communication with "
                              "the reader on %s failed (the message above tells which): check "
                              "--check-app-number, or the cable and the adapter (exit code 4)",
                              options.application.c_str(), *options.appNumber, where.c_str());
                break;
            }
            // The loader also refuses frames of another reader type's protocol this way.
            std::snprintf(text, sizeof text,
                          "communication with the reader on %s failed: check %sthe cable and "
                          "the adapter, and download again (exit code 4)",
                          where.c_str(),
                          typed ? ("that the reader is a " + ReaderName(options.reader) + " (" +
                                   readerOption + "), then ")
                                      .c_str()
                                : "");
            break;
        case kExitNoResponse:
            std::snprintf(text, sizeof text,
                          "the reader on %s stopped answering: check that it is connected and "
                          "powered, then download again (exit code 5)",
                          where.c_str());
            break;
        case kExitCancelled:
            std::snprintf(text, sizeof text,
                          "download cancelled: the reader on %s holds no valid application "
                          "until a download completes (exit code 6)",
                          where.c_str());
            break;
        case kExitJobKilled:
            if (signal > 0) {
                std::snprintf(text, sizeof text,
                              "the download to %s did not finish: its process %s, %s (exit code "
                              "%d)",
                              where.c_str(), ResultText(code, signal).c_str(), HintOf(code), code);
                break;
            }
            [[fallthrough]];
        default:
            std::snprintf(text, sizeof text,
                          "the reader's loader refused the download with error code %d (0x%02X): "
                          "check the reader type (%s) and the application file%s, then "
                          "download again",
                          code, static_cast<unsigned>(code), readerOption.c_str(),
                          appNumberChecked ? ", and whether the reader takes this application "
                                             "number after --previous"
                                           : "");
            break;
    }
    return std::string("cordane download: ") + text + "\n";
}

}  // namespace cordane::tools
