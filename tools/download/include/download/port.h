// The port of a download: --port resolved to what the link opens, why it cannot be used, and the
// temporary ports folder through which a device path reaches the engine.
#ifndef CORDANE_TOOLS_DOWNLOAD_PORT_H
#define CORDANE_TOOLS_DOWNLOAD_PORT_H

#include <cstdint>
#include <optional>
#include <string>

#include "base/cleanup_watcher.h"
#include "base/error.h"

namespace cordane::tools {

struct PortChoice {
    int16_t number = 0;
    bool isVirtual = false;
    std::string text;          // how the user named it
    std::string device;        // what the link will open
    bool throughPath = false;  // a device path, reached through a temporary ports folder
};

// Resolves --port, and checks that the port can be used for a download now. Refused with
// kExitUsage for a name that is no port, kExitBadInput for a port that cannot be used, each with
// what to do about it.
korvel::base::Expected<PortChoice> ChoosePort(const std::string& name);

// Whether two ports chosen lead to one device: a port entry may lead to another one, or to a tty
// path.
bool SameDevice(const PortChoice& a, const PortChoice& b);

// A ports folder of our own that names a device path as COM1 for the engine, which takes only
// port numbers. Removed when it goes out of scope, and by its watcher when this process is killed
// outright (SIGKILL gives no chance to clean up). The entry must stay while the job runs: the link
// looks it up again for every reset and for the cancel sequence's own link, and without it COM1
// would be /dev/ttyS0, another device.
class TemporaryPortsFolder {
  public:
    TemporaryPortsFolder() = default;
    ~TemporaryPortsFolder();
    TemporaryPortsFolder(const TemporaryPortsFolder&) = delete;
    TemporaryPortsFolder& operator=(const TemporaryPortsFolder&) = delete;

    // Creates the folder with an entry for `device` and points the link at it.
    korvel::base::Expected<void> Create(const std::string& device);
    // Gives the link its ports folder back; only once no other thread may read it.
    void RestoreEnvironment();
    // Removes the entry and the folder now.
    void Remove() { folder_.Remove(); }

  private:
    korvel::base::TemporaryFolder folder_;
    std::optional<std::string> previous_;
    bool pointed_ = false;
};

}  // namespace cordane::tools

#endif
