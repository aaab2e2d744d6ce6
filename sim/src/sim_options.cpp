#include "sim/sim_options.h"

#include <charconv>
#include <limits>
#include <utility>
#include <vector>

#include "sim/reader_layout.h"
#include "zr318/ports.h"

namespace korvel::sim {

namespace {

// A refused command line: the emulator ends with kExitSetup.
base::Error Refused(std::string message) {
    return base::Error(kExitSetup, std::move(message));
}

constexpr uint32_t kMaxDelayMs = 600000;  // ten minutes: longer is surely a typing error
constexpr uint32_t kMinBaud = 50;
constexpr uint32_t kMaxBaud = 4000000;
constexpr uint32_t kMaxAppNumber = 999;  // three decimal digits
constexpr uint32_t kMaxFailOpens = 1000;

// A decimal number, or hexadecimal after "0x", filling `text` and within [low, high].
std::optional<uint32_t> ParseNumber(std::string_view text, uint32_t low, uint32_t high) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    if (value < low || value > high) return std::nullopt;
    return static_cast<uint32_t>(value);
}

std::string RangeText(uint32_t low, uint32_t high) {
    return std::to_string(low) + " to " + std::to_string(high);
}

// The pieces of a comma list ("0,0,1" -> "0", "0", "1"); empty pieces are kept.
std::vector<std::string_view> SplitCommas(std::string_view text) {
    std::vector<std::string_view> pieces;
    for (;;) {
        const size_t comma = text.find(',');
        pieces.push_back(text.substr(0, comma));
        if (comma == std::string_view::npos) return pieces;
        text.remove_prefix(comma + 1);
    }
}

// "%d" in a path replaced by the port number.
std::string WithPortNumber(std::string_view path, uint32_t number) {
    std::string text(path);
    const size_t at = text.find("%d");
    if (at != std::string::npos) text.replace(at, 2, std::to_string(number));
    return text;
}

// --line N, a station of N readers: every option's value is a comma list with one piece per
// reader, or a single value for all of them (an empty piece leaves the option out for that
// reader); --com or --virtual gives the first reader's port (default virtual port 1), the next
// readers take the next ones.
// Each reader's options then go through the parser of a single reader.
base::Expected<ParsedOptions> ParseStation(std::span<const std::string_view> args) {
    ParsedOptions parsed;
    auto fail = [](std::string message) { return Refused(std::move(message)); };
    uint32_t count = 0;
    std::string_view portOption = "--virtual";
    uint32_t firstPort = 1;
    bool havePort = false;
    bool once = false;
    std::string_view portsDir;
    std::vector<std::pair<std::string_view, std::vector<std::string_view>>> lists;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view name = args[i];
        if (name == "--help" || name == "-h") {
            parsed.help = true;
            return parsed;
        }
        if (name == "--once") {
            once = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            if (name.starts_with("--")) return fail(std::string(name) + " needs a value");
            return fail("unknown argument \"" + std::string(name) + "\"; see --help");
        }
        const std::string_view value = args[++i];
        const std::string quoted = std::string(name) + " \"" + std::string(value) + "\"";
        if (name == "--line") {
            if (count != 0) return fail(quoted + ": give --line once");
            const auto number = ParseNumber(value, 1, kMaxStation);
            if (!number) {
                return fail(quoted + ": the number of readers is " + RangeText(1, kMaxStation));
            }
            count = *number;
        } else if (name == "--com" || name == "--virtual") {
            if (havePort) return fail(quoted + ": give one first port only, --com or --virtual");
            const bool com = name == "--com";
            const auto number = ParseNumber(value, com ? ports::kFirstCom : ports::kFirstVirtual,
                                            com ? ports::kLastCom : ports::kLastVirtual);
            if (!number) return fail(quoted + ": not a port number; see --help");
            portOption = name;
            firstPort = *number;
            havePort = true;
        } else if (name == "--ports-dir") {
            portsDir = value;
        } else {
            lists.emplace_back(name, SplitCommas(value));
        }
    }
    const bool com = portOption == "--com";
    const uint32_t lastPort = com ? ports::kLastCom : ports::kLastVirtual;
    if (firstPort + count - 1 > lastPort) {
        return fail("--line " + std::to_string(count) + " from port " + std::to_string(firstPort) +
                    " runs past the last port, " + std::to_string(lastPort) +
                    ": start at a lower port or serve fewer readers");
    }
    for (const auto& [name, pieces] : lists) {
        if (pieces.size() != 1 && pieces.size() != count) {
            return fail(std::string(name) + ": give one value for every reader or " +
                        std::to_string(count) + " values separated by commas (--line " +
                        std::to_string(count) + "), not " + std::to_string(pieces.size()));
        }
        const bool path = name == "--dump" || name == "--dump-data" || name == "--transcript";
        if (path && count > 1 && pieces.size() == 1 &&
            pieces[0].find("%d") == std::string_view::npos) {
            return fail(std::string(name) + " \"" + std::string(pieces[0]) +
                        "\": the readers would share one file; put %d (the port number) in "
                        "the path or give one path per reader separated by commas");
        }
    }
    for (uint32_t index = 0; index < count; ++index) {
        const uint32_t port = firstPort + index;
        std::vector<std::string> own{std::string(portOption), std::to_string(port)};
        if (!portsDir.empty()) own.insert(own.end(), {"--ports-dir", std::string(portsDir)});
        if (once) own.emplace_back("--once");
        for (const auto& [name, pieces] : lists) {
            const std::string_view piece = pieces.size() == 1 ? pieces[0] : pieces[index];
            if (piece.empty() && pieces.size() > 1) continue;
            own.emplace_back(name);
            own.push_back(WithPortNumber(piece, port));
        }
        const std::vector<std::string_view> views(own.begin(), own.end());
        base::Expected<ParsedOptions> one = ParseOptions(views);
        if (!one || !one->options) {
            return fail("reader " + std::to_string(index + 1) + " of the line (" +
                        std::string(com ? "COM" : "virtual port ") + std::to_string(port) +
                        "): " + (one ? std::string("--help stands alone") : one.error().message));
        }
        parsed.station.push_back(std::move(*one->options));
    }
    return parsed;
}

}  // namespace

const char* const kUsage =
    "usage: korvel-sim --reader N [--loader raw|addressed] (--com N | --virtual N)\n"
    "                  [--ports-dir DIR] [--dump FILE] [--dump-data FILE] [--transcript FILE]\n"
    "                  [--once] [--app-number N] [--fail-at K:CODE] [--drop-at K]\n"
    "                  [--hangup-at K] [--delay MS] [--baud B] [--latency MS] [--fail-open N]\n"
    "                  [--id-bytes FIRST:SECOND]\n"
    "       korvel-sim --line N --reader N[,N...] [--com N | --virtual N] [OPTION LIST...]\n"
    "\n"
    "Emulates a card reader behind a pseudo-terminal, reachable as port COM<N> or virtual reader\n"
    "port <N> through an entry in the ports directory.\n"
    "\n"
    "  --line N            serve N readers (1 to 64) in one process, on N ports in a row from\n"
    "                      --com N or --virtual N (default virtual port 1: KORVEL01, "
    "KORVEL02...).\n"
    "                      Every other option's value is then one value for all the readers or a\n"
    "                      comma list of one per reader, an empty piece leaving the option out\n"
    "                      (--reader 0,0,1,5 --fail-at ,,4:0x23,); in one path for all, %d\n"
    "                      stands for the port number (--dump flash%d.bin). One ready line per\n"
    "                      reader; with --once it exits when every reader's session is over,\n"
    "                      0 when every flash holds a signed image\n"
    "\n"
    "  --reader N          reader type: 0 KvTal (64 Kb), 1 KvOrb (64 Kb), 2 KvOrb (512Kb),\n"
    "                      3 KvTal (512 Kb), 4 KvQuin3, 5 KvOrb1Mb, 6 KvTal (1Mb),\n"
    "                      7 KvTalModem, 8 and 9 the types found only by reader detection\n"
    "  --loader KIND       loader answering a 64 Kb reset: raw (default) or addressed\n"
    "  --com N             serve COM<N> (1 to 256)\n"
    "  --virtual N         serve virtual reader port N (0 to 98), entry Korvel_reader_<NN>\n"
    "  --ports-dir DIR     where the port entry goes (default: $KORVEL_PORTS_DIR, else\n"
    "                      $XDG_CONFIG_HOME/korvel/ports, else ~/.config/korvel/ports)\n"
    "  --dump FILE         write the code flash to FILE whenever a session ends; exit code 3\n"
    "                      when it cannot be written on exit\n"
    "  --dump-data FILE    large readers: write the data flash to FILE whenever a session ends\n"
    "  --transcript FILE   write one JSON line per received frame to FILE\n"
    "  --once              exit after the first session that could write the flash (reader\n"
    "                      detection's does not count); exit code 0 when the flash then holds\n"
    "                      a signed image, 1 otherwise\n"
    "  --app-number N      large readers: the application number (0 to 999) the reader holds;\n"
    "                      AppNumberCheck then accepts only N or a change from it (default:\n"
    "                      none, any number is accepted)\n"
    "  --fail-at K:CODE    answer loader frame K of each session with status CODE (1 to 255)\n"
    "  --drop-at K         never answer loader frame K of each session\n"
    "  --hangup-at K       hang the line up at loader frame K of each session\n"
    "  --delay MS          wait MS milliseconds before every loader answer\n"
    "  --baud B            pace the line at B baud (8N1, 10 bits a byte) both ways\n"
    "  --latency MS        hold every answer until the next tick of a timer of MS ms (0 to 255;\n"
    "                      default 0, off), as a USB serial adapter's latency timer does\n"
    "  --fail-open N       refuse the first N resets (LoaderReady status 3), so that the\n"
    "                      host's open calls fail N times\n"
    "  --id-bytes FIRST:SECOND\n"
    "                      large readers: what reader detection reads, in hexadecimal: FIRST\n"
    "                      the bytes at 0x1000 (g and r, at most 2), SECOND those of the second\n"
    "                      read, at 0x86001 (its first 3) or 0xF001 (at most 7); fewer bytes\n"
    "                      give a short answer. Default: bytes by which detection finds the\n"
    "                      reader type (a KvTalModem answers as a KvTal (512 Kb): type 3)\n"
    "  --help              show this text\n"
    "\n"
    "Fault options may be repeated for different frames.\n"
    "\n"
    "A light reset (reader detection) starts a loader that takes a program into RAM from\n"
    "0x80000 with LoadRoutine and runs it with RunRoutine; once the program is the detection\n"
    "loader, it answers ReadMemory at 0x1000, 0x86001 and 0xF001. The 64 Kb readers refuse the\n"
    "light reset.\n";

base::Expected<ParsedOptions> ParseOptions(std::span<const std::string_view> args) {
    ParsedOptions parsed;
    SimOptions options;
    bool havePort = false;
    auto fail = [](std::string message) { return Refused(std::move(message)); };

    // --line in an option's place makes a station of readers.
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") break;
        if (args[i] == "--line") return ParseStation(args);
        if (args[i] != "--once") ++i;  // over the value
    }

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view name = args[i];
        if (name == "--help" || name == "-h") {
            parsed.help = true;
            return parsed;
        }
        if (name == "--once") {
            options.once = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            if (name.starts_with("--")) return fail(std::string(name) + " needs a value");
            return fail("unknown argument \"" + std::string(name) + "\"; see --help");
        }
        const std::string_view value = args[++i];
        const std::string quoted = std::string(name) + " \"" + std::string(value) + "\"";

        if (name == "--reader") {
            const auto type = ParseNumber(value, 0, 9);
            if (!type) return fail(quoted + ": the reader type is a number from 0 to 9");
            options.reader = static_cast<int>(*type);
        } else if (name == "--loader") {
            if (value == "raw") {
                options.loader = LoaderKind::Raw;
            } else if (value == "addressed") {
                options.loader = LoaderKind::Addressed;
            } else {
                return fail(quoted + ": the loader is raw or addressed");
            }
        } else if (name == "--com" || name == "--virtual") {
            if (havePort) return fail(quoted + ": give one port only, --com or --virtual");
            const bool com = name == "--com";
            const uint32_t low = com ? ports::kFirstCom : ports::kFirstVirtual;
            const uint32_t high = com ? ports::kLastCom : ports::kLastVirtual;
            const auto number = ParseNumber(value, low, high);
            if (!number) return fail(quoted + ": the port number is " + RangeText(low, high));
            options.port = com ? *number : (ports::kVirtualBit | *number);
            havePort = true;
        } else if (name == "--ports-dir" || name == "--dump" || name == "--dump-data" ||
                   name == "--transcript") {
            if (value.empty()) return fail(std::string(name) + " needs a path");
            std::string& path = name == "--ports-dir"   ? options.portsDir
                                : name == "--dump"      ? options.dumpPath
                                : name == "--dump-data" ? options.dataDumpPath
                                                        : options.transcriptPath;
            path = value;
        } else if (name == "--app-number") {
            const auto number = ParseNumber(value, 0, kMaxAppNumber);
            if (!number) {
                return fail(quoted + ": the application number is " + RangeText(0, kMaxAppNumber));
            }
            options.appNumber = *number;
        } else if (name == "--fail-at" || name == "--drop-at" || name == "--hangup-at") {
            Fault fault;
            std::string_view frameText = value;
            if (name == "--fail-at") {
                const size_t colon = value.find(':');
                if (colon == std::string_view::npos) {
                    return fail(quoted + ": write the frame and the status as K:CODE, e.g. 4:0x23");
                }
                frameText = value.substr(0, colon);
                const auto code = ParseNumber(value.substr(colon + 1), 1, 255);
                if (!code) return fail(quoted + ": the status CODE is 1 to 255 (0 means accepted)");
                fault = {FaultKind::Fail, static_cast<uint8_t>(*code)};
            } else {
                fault.kind = name == "--drop-at" ? FaultKind::Drop : FaultKind::HangUp;
            }
            const auto frame = ParseNumber(frameText, 1, std::numeric_limits<uint32_t>::max());
            if (!frame) return fail(quoted + ": the frame number K counts from 1");
            if (!options.faults.emplace(*frame, fault).second) {
                return fail(quoted + ": frame " + std::to_string(*frame) +
                            " already has a fault; give one fault per frame");
            }
        } else if (name == "--fail-open") {
            const auto count = ParseNumber(value, 0, kMaxFailOpens);
            if (!count) {
                return fail(quoted + ": the number of failed opens is " +
                            RangeText(0, kMaxFailOpens));
            }
            options.failOpens = *count;
        } else if (name == "--id-bytes") {
            base::Expected<IdentityBytes> identity = ParseIdentityBytes(value);
            if (!identity) return fail(quoted + ": " + identity.error().message);
            options.identity = std::move(*identity);
        } else if (name == "--delay") {
            const auto delay = ParseNumber(value, 0, kMaxDelayMs);
            if (!delay) return fail(quoted + ": the delay is " + RangeText(0, kMaxDelayMs) + " ms");
            options.delayMs = *delay;
        } else if (name == "--latency") {
            const auto latency = ParseNumber(value, 0, kMaxLatencyMs);
            if (!latency) {
                return fail(quoted + ": the adapter's latency timer is " +
                            RangeText(0, kMaxLatencyMs) + " ms (0: off)");
            }
            options.latencyMs = *latency;
        } else if (name == "--baud") {
            const auto baud = ParseNumber(value, kMinBaud, kMaxBaud);
            if (!baud) return fail(quoted + ": the baud rate is " + RangeText(kMinBaud, kMaxBaud));
            options.baud = *baud;
        } else {
            return fail("unknown option \"" + std::string(name) + "\"; see --help");
        }
    }

    if (options.reader < 0) return fail("--reader is missing: give the reader type, 0 to 9");
    const ReaderLayout& layout = *FindLayout(options.reader);
    if (!options.dataDumpPath.empty() && layout.dataFlashSize == 0) {
        return fail(std::string("--dump-data: a ") + layout.reader->name +
                    " has no data flash; leave the option out or choose a large reader (2 to 9)");
    }
    if (options.appNumber && !layout.reader->large) {
        return fail(std::string("--app-number: a ") + layout.reader->name +
                    " does not check application numbers; leave the option out or choose a "
                    "large reader (2 to 9)");
    }
    if (options.identity && !layout.reader->large) {
        return fail(std::string("--id-bytes: a ") + layout.reader->name +
                    " refuses the light reset of reader detection; leave the option out or "
                    "choose a large reader (2 to 9)");
    }
    if (!havePort) return fail("no port: give --com N or --virtual N");
    parsed.options = std::move(options);
    return parsed;
}

}  // namespace korvel::sim
