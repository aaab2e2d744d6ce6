// cordane detect: finds out which large reader is attached, the way the Brenmark program does
// before it cuts a global file: the light reset, the detection loader, the identification reads.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "base/file.h"
#include "base/json_writer.h"
#include "cli/arguments.h"
#include "commands.h"
#include "cordane/platform.h"
#include "cordane/protocol.h"
#include "cordane/readers.h"
#include "download/port.h"
#include "kit/detection.h"
#include "zr318/ports.h"

namespace cordane::tools {

using korvel::base::JsonWriter;

namespace {

constexpr char kHelp[] =
    "usage: cordane detect --port PORT [--json] [--debug-file PATH] [--timing]\n"
    "\n"
    "Finds out which large reader is attached to PORT: resets it into its light loader (three\n"
    "tries, 100 ms apart), sends it the detection loader, reads its identification bytes and\n"
    "prints the reader type and its name. The link is closed again on every path.\n"
    "\n"
    "  --port PORT        COM1..COM256, KORVEL00..KORVEL98, or a device path such as\n"
    "                     /dev/ttyUSB0 (\"cordane ports\" lists the ports that can be opened)\n"
    "  --json             print {\"reader_type\":N,\"name\":\"...\",\"id_bytes\":\"...\"} "
    "instead;\n"
    "                     on a failure {\"error\":\"...\",\"detail\":\"...\"}\n"
    "  --debug-file PATH  write the loader bytes sent to PATH (the program's \"Dbg.txt\");\n"
    "                     without it no file is written\n"
    "  --timing           say on standard error how long the detection took, open to close\n"
    "\n"
    "The identification bytes are g and r (read at 0x1000), then the answer of the second read\n"
    "(3 bytes at 0x86001 when g < 5, else 7 bytes at 0xF001). A missing or short answer is a\n"
    "failed detection: the type is never guessed. The 64 Kb readers (types 0 and 1) do not take\n"
    "the light reset: detection fails on them.\n"
    "\n"
    "Exit codes: 0 detected; 1 refused port, or the debug file could not be written; 2 bad\n"
    "command line; 3 the reader did not open in three tries; 4 the loader was refused, or an\n"
    "identification answer was missing or short.\n";

int Usage(std::string_view problem) {
    return ReportUsage("detect", problem, "--port PORT [--json]");
}

struct DetectOptions {
    bool help = false;  // --help: nothing else was looked at
    std::string port;
    std::string debugFile;
    bool json = false;
    bool timing = false;
};

// The options; a usage error says what is wrong with the command line.
korvel::base::Expected<DetectOptions> Parse(int argc, char** argv) {
    DetectOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (IsHelpOption(name)) {
            options.help = true;
            return options;
        }
        if (name == "--json") {
            options.json = true;
        } else if (name == "--timing") {
            options.timing = true;
        } else if (name == "--port" || name == "--debug-file") {
            if (i + 1 >= argc) return UsageError(name + " needs a value");
            const std::string value = argv[++i];
            if (value.empty()) return UsageError(name + " needs a value");
            (name == "--port" ? options.port : options.debugFile) = value;
        } else {
            return UsageError("unknown argument \"" + name + "\"");
        }
    }
    if (options.port.empty()) return UsageError("--port is missing: give the reader's port");
    return options;
}

int ExitCodeOf(korvel::kit::DetectionFailure failure) {
    switch (failure) {
        case korvel::kit::DetectionFailure::None:
            return kExitOk;
        case korvel::kit::DetectionFailure::OpenFailed:
            return kStatusOpenFailed;
        case korvel::kit::DetectionFailure::ChunkRefused:
        case korvel::kit::DetectionFailure::NoIdentity:
        case korvel::kit::DetectionFailure::OutOfMemory:
        case korvel::kit::DetectionFailure::BadLoader:
            break;
    }
    return kStatusCommunication;
}

int Refuse(bool json, const std::string& message, const std::string& detail, int code) {
    std::fprintf(stderr, "cordane detect: %s\n", message.c_str());
    if (!detail.empty()) std::fprintf(stderr, "%s\n", detail.c_str());
    if (json) {
        JsonWriter out;
        out.BeginObject().Key("error").String(message);
        if (!detail.empty()) out.Key("detail").String(detail);
        out.EndObject();
        std::printf("%s\n", out.text().c_str());
    }
    return code;
}

}  // namespace

int RunDetect(int argc, char** argv) {
    const korvel::base::Expected<DetectOptions> parsed = Parse(argc, argv);
    if (!parsed) return Usage(parsed.error().message);
    const DetectOptions& options = *parsed;
    if (options.help) return PrintHelp(kHelp);

    const korvel::base::Expected<PortChoice> chosen = ChoosePort(options.port);
    if (!chosen) return Refuse(options.json, ErrorLine(chosen.error()), "", chosen.error().code);
    const PortChoice& port = *chosen;
    if (!options.debugFile.empty()) {
        // Known before the reader is reset: detection itself only notes a failed write.
        korvel::base::Expected<korvel::base::File> debug =
            korvel::base::File::Open(options.debugFile, korvel::base::FileAccess::Create);
        if (!debug) {
            const korvel::base::Error& error = debug.error();
            return Refuse(options.json,
                          "cannot write the debug file " + options.debugFile + ": " +
                              (error.detail.empty() ? error.message : error.detail) +
                              "; give a writable path to --debug-file. Nothing was sent to the "
                              "reader",
                          "", kExitBadInput);
        }
    }
    TemporaryPortsFolder portsFolder;
    if (port.throughPath) {
        if (const korvel::base::Expected<void> created = portsFolder.Create(port.device);
            !created) {
            return Refuse(options.json, ErrorLine(created.error()), "", created.error().code);
        }
    }
    const uint32_t id =
        port.isVirtual ? korvel::ports::kVirtualBit | uint32_t(port.number) : uint32_t(port.number);
    const ZrPort word = korvel::ports::WordToSignedId(korvel::ports::IdToWord(id));

    korvel::kit::DetectionOptions detection;
    detection.debugFile = options.debugFile;
    const uint64_t started = KvNowMs();
    const korvel::kit::DetectionResult result = korvel::kit::DetectReader(word, detection);
    const uint64_t elapsed = KvNowMs() - started;
    if (options.timing) {
        std::fprintf(stderr, "cordane detect: open to close in %llu ms (%d open call(s))\n",
                     static_cast<unsigned long long>(elapsed), result.openCalls);
    }

    if (!result.Ok()) {
        // The messages the program shows, in their order, each on its own lines.
        std::string message;
        for (const korvel::kit::DetectionMessage& shown : result.messages) {
            if (!message.empty()) message += '\n';
            message += shown.text;
        }
        std::string detail = "port " + port.text + ": " + result.detail;
        if (result.ResetRefused()) {
            detail += "; to download to a 64 Kb reader, give its type: --reader 0 (" +
                      std::string(ReaderName(KvTal64)) + ") or --reader 1 (" + ReaderName(KvOrb64) +
                      ")";
        }
        return Refuse(options.json, message, detail, ExitCodeOf(result.failure));
    }

    const auto type = static_cast<eReaderType>(result.readerType);
    const std::string name = ReaderName(type);
    const std::string bytes = korvel::kit::IdentificationText(result);
    if (options.json) {
        JsonWriter out;
        out.BeginObject()
            .Key("reader_type")
            .Number(result.readerType)
            .Key("name")
            .String(name)
            .Key("id_bytes")
            .String(bytes)
            .EndObject();
        std::printf("%s\n", out.text().c_str());
    } else {
        std::printf("reader type %d: %s\nidentification bytes: %s\n", result.readerType,
                    name.c_str(), bytes.c_str());
    }
    return kExitOk;
}

}  // namespace cordane::tools
