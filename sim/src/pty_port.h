// The emulator's end of the serial connection: a pseudo-terminal whose slave device the host opens
// as its port. The emulator keeps a slave descriptor of its own, so the master never sees a lasting
// hang-up while hosts come and go, and watches the slave device to learn when the host opens and
// closes it.
#ifndef KORVEL_SIM_PTY_PORT_H
#define KORVEL_SIM_PTY_PORT_H

#include <memory>
#include <string>

#include "base/error.h"
#include "base/file.h"

namespace korvel::sim {

class PtyPort {
  public:
    // A new pseudo-terminal in raw mode, or why there is none.
    static base::Expected<std::unique_ptr<PtyPort>> Open();

    int Master() const { return static_cast<int>(master_.Native()); }
    // Readable when the slave was opened or closed.
    int Watch() const { return static_cast<int>(watch_.Native()); }
    const std::string& Device() const { return device_; }
    int Hosts() const { return hosts_; }  // open descriptors of the slave besides ours

    enum class HostChange { None, Arrived, Left };
    // Reads the pending open and close events of the slave: Arrived when the first host opened
    // it, Left when the last host closed it (both may have happened; Left wins).
    HostChange ReadWatch();

    // Answers still waiting in the port for a host that left are thrown away, and the exclusive
    // use a host claimed ends with it, so the next host can open the port.
    void ForgetHost();

    // Bytes written to the host that it has not read yet.
    int Unread() const;

  private:
    PtyPort() = default;

    base::File master_;
    base::File slave_;  // ours: keeps the port up between hosts
    base::File watch_;  // inotify on the slave device
    std::string device_;
    int hosts_ = 0;
};

}  // namespace korvel::sim

#endif
