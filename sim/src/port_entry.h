// The emulator's entry in the ports directory: a symbolic link named like the port ("COM3",
// "Korvel_reader_07") to the slave device of its pseudo-terminal. A lock file next to it
// (".<entry>.lock", holding the device the entry was made for) shows which emulator serves the
// port, so a second emulator for the same port is refused and the leftovers of one that died are
// recognised and replaced.
#ifndef KORVEL_SIM_PORT_ENTRY_H
#define KORVEL_SIM_PORT_ENTRY_H

#include <memory>
#include <string>

#include "base/error.h"
#include "base/file.h"

namespace korvel::sim {

class PortEntry {
  public:
    // Takes the port `name` in `directory` (created when missing). Refused, saying why, when
    // another emulator serves it or the entry is somebody else's.
    static base::Expected<std::unique_ptr<PortEntry>> Claim(const std::string& directory,
                                                            const std::string& name);
    // Removes the entry if it still leads to our device, and the lock file.
    ~PortEntry();

    // Makes the entry lead to `device`, replacing in one step whatever it led to before.
    base::Expected<void> Point(const std::string& device);

    const std::string& Path() const { return path_; }

  private:
    PortEntry() = default;

    std::string path_;
    std::string lockPath_;
    std::string device_;
    base::File lock_;
};

}  // namespace korvel::sim

#endif
