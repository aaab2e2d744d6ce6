#include "base/cleanup_watcher.h"

#include <utility>

#include "os.h"

namespace korvel::base {

Expected<CleanupWatcher> CleanupWatcher::Start(const std::string& folder,
                                               const FolderEntries& entries) {
    Expected<os::Watcher> started = os::StartWatcher(folder, entries);
    if (!started) {
        return os::Explained(started.error(), "cannot start the clean-up of " + folder, {});
    }
    CleanupWatcher watcher;
    watcher.process_ = started->process;
    watcher.tie_ = started->tie;
    return watcher;
}

CleanupWatcher::CleanupWatcher(CleanupWatcher&& other) noexcept
    : process_(std::exchange(other.process_, os::kNoHandle)),
      tie_(std::exchange(other.tie_, os::kNoHandle)) {}

CleanupWatcher& CleanupWatcher::operator=(CleanupWatcher&& other) noexcept {
    if (this != &other) {
        Stop();
        process_ = std::exchange(other.process_, os::kNoHandle);
        tie_ = std::exchange(other.tie_, os::kNoHandle);
    }
    return *this;
}

void CleanupWatcher::Stop() noexcept {
    if (process_ == os::kNoHandle) return;
    os::Watcher watcher{std::exchange(process_, os::kNoHandle), std::exchange(tie_, os::kNoHandle)};
    os::StopWatcher(watcher);
}

Expected<TemporaryFolder> TemporaryFolder::Create(std::string_view prefix, FolderEntries entries) {
    Expected<std::string> path = os::CreateTemporaryFolder(std::string(prefix));
    if (!path) {
        return os::Explained(path.error(), "cannot create a temporary folder",
                             "set TMPDIR to a writable folder");
    }
    TemporaryFolder folder;
    folder.path_ = std::move(*path);
    folder.entries_ = std::move(entries);
    // Without a watcher (no process left) the removal on a normal end remains.
    if (Expected<CleanupWatcher> watcher = CleanupWatcher::Start(folder.path_, folder.entries_)) {
        folder.watcher_ = std::move(*watcher);
    }
    return folder;
}

TemporaryFolder::TemporaryFolder(TemporaryFolder&& other) noexcept
    : path_(std::exchange(other.path_, {})),
      entries_(std::move(other.entries_)),
      watcher_(std::move(other.watcher_)) {}

TemporaryFolder& TemporaryFolder::operator=(TemporaryFolder&& other) noexcept {
    if (this != &other) {
        Remove();
        path_ = std::exchange(other.path_, {});
        entries_ = std::move(other.entries_);
        watcher_ = std::move(other.watcher_);
    }
    return *this;
}

std::string TemporaryFolder::EntryPath() const {
    return path_ + "/" + entries_.name;
}

void TemporaryFolder::Remove() noexcept {
    if (path_.empty()) return;
    os::RemoveFolder(path_, entries_);
    path_.clear();
    watcher_.Stop();
}

}  // namespace korvel::base
