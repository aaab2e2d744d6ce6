#include "download/verdict.h"

#include <cstdio>

#include "base/json_writer.h"
#include "cordane/cordane.h"
#include "cordane/exit_codes.h"
#include "cordane/readers.h"

namespace cordane::tools {

using korvel::base::JsonWriter;

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
    const ExitCodeFacts* facts = FactsOfExitCode(code);
    return facts != nullptr && facts->hint != nullptr ? facts->hint : "";
}

}  // namespace

std::string Verdict(int code, const DownloadOptions& options, const PortChoice& port, int signal) {
    const std::string where = port.throughPath ? port.device : port.text;
    // The reader type as the user can check it: none when it was never known (a detection that
    // failed).
    const bool typed = options.reader >= 0;
    const std::string readerOption =
        typed ? "--reader " + std::to_string(options.reader) : std::string("--reader");
    const bool appNumberChecked =
        options.appNumber && options.type == KV_DOWNLOAD_AUTO_BINARY && options.reader >= KvOrb512;
    std::string text;
    switch (code) {
        case kExitOk:
            if (options.type == static_cast<int>(KV_DOWNLOAD_ERASE_CODE)) {
                text = "the code of the reader on " + where + " is erased";
            } else {
                text =
                    "download completed: " + options.application + " is in the reader on " + where;
            }
            break;
        case kExitBadInput:
            if (options.silent) {
                text =
                    "download refused: the file or the port was refused (exit code 1); run "
                    "without --silent to see why";
            } else {
                text = "download refused: " + std::string(HintOf(code)) + " (exit code 1)";
            }
            break;
        case kExitOpenFailed:
            text = "the download session could not be opened on " + where + ": " + HintOf(code) +
                   (typed ? " and that " + readerOption + " is its type" : std::string()) +
                   " (exit code 3)";
            break;
        case kExitCommunication:
            if (appNumberChecked) {
                // The engine ends a wrong application number with this code too.
                text = options.application + " does not carry application number " +
                       std::to_string(*options.appNumber) +
                       ", or communication with the reader on " + where +
                       " failed (the message above tells which): check --check-app-number, or "
                       "the cable and the adapter (exit code 4)";
                break;
            }
            // The loader also refuses frames of another reader type's protocol this way.
            text = "communication with the reader on " + where + " failed: check " +
                   (typed ? "that the reader is a " + ReaderNameOf(options.reader) + " (" +
                                readerOption + "), then "
                          : std::string()) +
                   "the cable and the adapter, and download again (exit code 4)";
            break;
        case kExitNoResponse:
            text = "the reader on " + where +
                   " stopped answering: check that it is connected and powered, then download "
                   "again (exit code 5)";
            break;
        case kExitCancelled:
            text = "download cancelled: the reader on " + where +
                   " holds no valid application until a download completes (exit code 6)";
            break;
        case kExitJobKilled:
            if (signal > 0) {
                text = "the download to " + where + " did not finish: its process " +
                       ResultText(code, signal) + ", " + HintOf(code) + " (exit code " +
                       std::to_string(code) + ")";
                break;
            }
            [[fallthrough]];
        default: {
            char number[32];
            std::snprintf(number, sizeof number, "%d (0x%02X)", code, static_cast<unsigned>(code));
            text = "the reader's loader refused the download with error code " +
                   std::string(number) + ": check the reader type (" + readerOption +
                   ") and the application file" +
                   (appNumberChecked ? ", and whether the reader takes this application number "
                                       "after --previous"
                                     : "") +
                   ", then download again";
            break;
        }
    }
    return "cordane download: " + text + "\n";
}

}  // namespace cordane::tools
