// Clean-up that survives the program's sudden end. A watcher is a small process of its own that
// waits for this one to end, however it ends (SIGKILL gives no chance to clean up), and then
// removes the files named and their folder. A temporary folder carries one.
#ifndef KORVEL_BASE_CLEANUP_WATCHER_H
#define KORVEL_BASE_CLEANUP_WATCHER_H

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"

namespace korvel::base {

// The entries of a folder that are ours to remove.
struct FolderEntries {
    std::string name{};         // this entry
    bool withPrefixed = false;  // and every entry whose name starts with `name`
                                // (the temporary siblings of a file being replaced)
};

class CleanupWatcher {
  public:
    // Starts the watcher for `folder`. Once this process ends, or once Stop is called, it removes
    // the entries and then the folder, the folder only while its name still leads to the same
    // folder and nothing else is left in it. It runs in a session of its own, so that a kill of
    // the terminal's process group does not take it along.
    static Expected<CleanupWatcher> Start(const std::string& folder, const FolderEntries& entries);

    CleanupWatcher() = default;
    CleanupWatcher(CleanupWatcher&& other) noexcept;
    CleanupWatcher& operator=(CleanupWatcher&& other) noexcept;
    CleanupWatcher(const CleanupWatcher&) = delete;
    CleanupWatcher& operator=(const CleanupWatcher&) = delete;
    ~CleanupWatcher() { Stop(); }

    bool Running() const noexcept { return process_ != -1; }
    // Lets the watcher do its work now and waits for it to end.
    void Stop() noexcept;

  private:
    std::intptr_t process_ = -1;
    std::intptr_t tie_ = -1;  // the watcher's wake-up: let go when this process ends
};

// A folder of our own in the temporary directory ($TMPDIR, else /tmp on POSIX systems), its
// entries removed with it when it goes, and by its watcher when this process ends without the
// chance to.
class TemporaryFolder {
  public:
    // Creates "<temporary directory>/<prefix>XXXXXX". The watcher is started as well when the
    // system allows; without it the removal on a normal end remains.
    static Expected<TemporaryFolder> Create(std::string_view prefix, FolderEntries entries);

    TemporaryFolder() = default;
    TemporaryFolder(TemporaryFolder&& other) noexcept;
    TemporaryFolder& operator=(TemporaryFolder&& other) noexcept;
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    ~TemporaryFolder() { Remove(); }

    const std::string& path() const noexcept { return path_; }
    // The path of the entry named at creation.
    std::string EntryPath() const;
    bool Watched() const noexcept { return watcher_.Running(); }

    // Removes the entries and the folder now (once; later calls do nothing).
    void Remove() noexcept;

  private:
    std::string path_;
    FolderEntries entries_;
    CleanupWatcher watcher_;
};

}  // namespace korvel::base

#endif
