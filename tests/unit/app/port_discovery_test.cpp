// The dialog's port list built by the real discovery from a temporary ports directory whose
// entries are pseudo-terminals.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include "dialog_harness.h"
#include "support/environment.h"

namespace brenmarktest {
namespace {

using namespace brenmark;

// A pseudo-terminal whose slave side stands for a serial port.
class Pty {
  public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            slave_ = ptsname(master_);
        }
    }
    ~Pty() {
        if (master_ >= 0) close(master_);
    }
    const std::string& slave() const { return slave_; }

  private:
    int master_ = -1;
    std::string slave_;
};

TEST_F(DialogTest, DiscoveryListsComThenVirtualPortsAndLeavesHeldAndMissingOnesOut) {
    const std::filesystem::path portsDir = dir / "ports";
    std::filesystem::create_directories(portsDir);
    Pty com3, com12, virtual7, held;
    for (const Pty* pty : {&com3, &com12, &virtual7, &held}) ASSERT_FALSE(pty->slave().empty());
    std::filesystem::create_symlink(com12.slave(), portsDir / "COM12");
    std::filesystem::create_symlink(virtual7.slave(), portsDir / "Korvel_reader_07");
    std::filesystem::create_symlink(com3.slave(), portsDir / "COM3");
    std::filesystem::create_symlink(held.slave(), portsDir / "Korvel_reader_08");
    std::filesystem::create_symlink(dir / "nothing", portsDir / "Korvel_reader_09");
    const int holder = open(held.slave().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

    {
        const korvel::testkit::ScopedEnv ports("KORVEL_PORTS_DIR", portsDir.string());
        dialog.SetPortProbe(korvel::ports::ListOpenablePorts);
        dialog.serialPortNumber = 0x80000000u + 42;  // fixed, but no such port
        dialog.OnInitDialog();
    }
    close(holder);

    // COM ports without an entry are the machine's own serial devices: not this test's.
    std::vector<std::string> listed;
    for (int i = 0; i < view.ListCount(kPortList); ++i) {
        const std::string text = view.ListItemText(kPortList, i);
        if (text == "COM3" || text == "COM12" || text.rfind("KORVEL", 0) == 0) {
            listed.push_back(text);
        }
        if (text == "KORVEL07") {
            EXPECT_EQ(view.ListItemData(kPortList, i), 0x80000007u);
        }
    }
    EXPECT_THAT(listed, ::testing::ElementsAre("COM3", "COM12", "KORVEL07"));
    EXPECT_EQ(dialog.serialPortNumber, 0u);
    EXPECT_EQ(dialog.portFound, 0);
    EXPECT_TRUE(view.IsControlEnabled(kPortList));
}

}  // namespace
}  // namespace brenmarktest
