// cordane download: downloads an application into the reader on one port (download/job.h), or
// into the readers on several ports at once (station/station.h).
#include <cstdio>
#include <string>
#include <string_view>

#include "base/error.h"
#include "cli/arguments.h"
#include "cli/download_options.h"
#include "commands.h"
#include "download/job.h"
#include "station/station.h"

namespace cordane::tools {

namespace {

// --help: the text around the options, which the option table describes.
constexpr char kHelpStart[] =
    "usage: cordane download --port PORT[,PORT...] --reader N [--type T] [--driver FILE]\n"
    "                        [--erase-data]"
    " [--ask] [--silent] [--json] [--yes|--no] [--log TARGET]\n"
    "                        [--key-selector N] [--key HEX16] [--identity X]\n"
    "                        [--check-app-number N --previous A,B] APPFILE\n"
    "       cordane download --port PORT [--reader N] [options] FILE.glo\n"
    "\n"
    "Downloads APPFILE (and, for the large readers, the driver library) into the flash of the\n"
    "reader on PORT.\n"
    "\n"
    "A Binary Global File (FILE.glo) holds parts for several large readers: without --reader the\n"
    "reader on PORT is detected first (its loader is given a small program that reads its\n"
    "identification bytes); its parts are then extracted into a temporary \"bin\" file, removed\n"
    "afterwards, and downloaded as a binary download (type 2) for that reader type. With\n"
    "--reader N the parts for N are extracted without detection. With --json the first event\n"
    "is {\"event\":\"detected\",\"reader_type\":N,\"name\":T,\"id_bytes\":T}. A detection that\n"
    "fails exits 3 when the reader did not open, else 4; a global file refused exits 1. The\n"
    "file's structure and every CRC are checked before any reader is reset or detected; the\n"
    "part for the reader type found is checked as the engine checks a file, before the reader\n"
    "is reset, and a refusal names the component.\n"
    "\n";

constexpr char kHelpChecks[] =
    "Checks and key of an enciphered image. These act only in download type 1 (--type 1) on the\n"
    "large readers (--reader 2 to 9); elsewhere they are ignored, with a note:\n";

constexpr char kHelpEnd[] =
    "\n"
    "On a terminal the progress is a bar with the bytes sent and the time left; otherwise plain\n"
    "lines. Ctrl-C stops the download after the current block and resets the reader (exit code\n"
    "6, in every phase of the download); a second Ctrl-C quits at once (exit code 130), as\n"
    "does Ctrl-C while the job log's row is written.\n"
    "\n"
    "--json: one JSON object per line, flushed at once; step and position carry \"bytes\" too\n"
    "when the image size is known:\n"
    "  {\"event\":\"message\",\"text\":T}                    a progress message\n"
    "  {\"event\":\"range\",\"lower\":L,\"upper\":U}           the range of the bar\n"
    "  {\"event\":\"step-size\",\"step\":S}                  the step of the bar\n"
    "  {\"event\":\"step\",\"position\":P,\"percent\":N}       the bar moved one step\n"
    "  {\"event\":\"position\",\"position\":P,\"percent\":N}   the bar was set\n"
    "  {\"event\":\"notice\",\"code\":C,\"text\":T}            3 started (\"1000\"), 0 succeeded,\n"
    "                                                  1 over (text null)\n"
    "  {\"event\":\"completion\",\"text\":T,\"code\":C}        \"Download completed\" 0, or\n"
    "                                                  \"Download Error\" 1\n"
    "  {\"event\":\"messagebox\",\"caption\":T,\"text\":T,     a message of the engine; "
    "\"answer\"\n"
    "   \"question\":false}                              \"yes\"/\"no\" for a question\n"
    "  {\"event\":\"output\",\"text\":T}                     what the engine wrote to its output\n"
    "  {\"event\":\"cancelling\"}                          Ctrl-C was pressed\n"
    "  {\"event\":\"error\",\"text\":T}                      refused before the download began\n"
    "  {\"event\":\"exit\",\"code\":N}                       the last line: the exit code\n"
    "\n"
    "Several ports: each port's download runs in a process of its own, so that a reader that\n"
    "fails or hangs never holds up the others. On a terminal one row per port shows its reader\n"
    "type, bar, bytes, speed and time left; otherwise plain lines, each starting with the port;\n"
    "with --json each port's events above, each with \"port\":P, and at the end\n"
    "  {\"event\":\"summary\",\"jobs\":[{\"port\":P,\"reader\":N,\"reader_name\":T,\"result\":T,\n"
    "   \"code\":C,\"seconds\":S,\"bytes\":B}...],\"code\":C,\"parent_cpu_ms\":M}\n"
    "(bytes null when the image size is unknown; parent_cpu_ms is this process's own CPU time).\n"
    "A port's process ended by a signal (killed, or crashed) gets {\"event\":\"exit\",\"port\":P,\n"
    "\"code\":125,\"signal\":N}, and \"signal\":N in the summary; its row in the job log is\n"
    "written by this process.\n"
    "A summary table ends the run. Every port is checked before anything starts: a port named\n"
    "twice is refused (exit code 2), one that cannot be opened too (exit code 1). Ctrl-C stops\n"
    "every download and resets every reader. The exit code is 0 when every reader succeeded,\n"
    "else that of the first port, in the order given, that failed.\n"
    "\n"
    "Exit codes: 0 success; 1 file error or refused port; 2 bad command line; 3 the download\n"
    "session could not be opened; 4 communication error; 5 no response from the reader;\n"
    "6 cancelled; 125 several ports: a port's own process was ended by a signal before it could\n"
    "finish (no fault of the reader); 130 quit at once by a second Ctrl-C; any other value is the\n"
    "error code of the reader's loader.\n";

std::string Help() {
    return kHelpStart + DownloadOptionsHelp(false) + "\n" + kHelpChecks +
           DownloadOptionsHelp(true) + kHelpEnd;
}

int Usage(std::string_view problem) {
    return ReportUsage("download", problem, "--port PORT --reader N [options] APPFILE");
}

}  // namespace

int RunDownload(int argc, char** argv) {
    const korvel::base::Expected<DownloadOptions> options = ParseDownloadOptions(argc, argv);
    if (!options) return Usage(options.error().message);
    if (options->help) return PrintHelp(Help().c_str());
    if (options->ports.size() > 1) return RunStation(argc, argv, *options);
    return RunJob(*options);
}

}  // namespace cordane::tools
