#include "base/file.h"

#include <utility>

#include "os.h"

namespace korvel::base {
namespace {

// "cannot open PATH: permission denied", with what to do about it.
Error OpenFailure(const std::string& path, FileAccess access, const Error& system) {
    const std::string what = "cannot open " + path;
    switch (system.cause) {
        case Cause::Denied: {
            Error error = os::Explained(system, what,
                                        access == FileAccess::Read
                                            ? "give the user read access to the file, or copy it "
                                              "somewhere readable"
                                            : "give the user write access to the file");
            error.message = what + ": permission denied";
            return error;
        }
        case Cause::NotFound:
            return os::Explained(system, what, "check the file's name");
        default:
            return os::Explained(system, what);
    }
}

}  // namespace

const char* DescribeFileKind(FileKind kind) {
    switch (kind) {
        case FileKind::Regular:
            return "a regular file";
        case FileKind::Directory:
            return "a directory";
        case FileKind::Fifo:
            return "a FIFO (named pipe) or a pipe";
        case FileKind::CharacterDevice:
            return "a character device";
        case FileKind::BlockDevice:
            return "a block device";
        case FileKind::Socket:
            return "a socket";
        case FileKind::SymbolicLink:
            return "a symbolic link";
        case FileKind::Other:
            break;
    }
    return "a special file";
}

File::File(std::intptr_t handle, std::string name) noexcept
    : handle_(handle), name_(std::move(name)) {}

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)), name_(std::move(other.name_)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (IsOpen()) (void)os::Close(handle_);
        handle_ = std::exchange(other.handle_, kNoHandle);
        name_ = std::move(other.name_);
    }
    return *this;
}

File::~File() {
    if (IsOpen()) (void)os::Close(handle_);
}

Expected<File> File::Open(const std::string& path, FileAccess access) {
    Expected<os::Handle> handle = os::Open(path, access);
    if (!handle) return OpenFailure(path, access, handle.error());
    return File(*handle, path);
}

Expected<File> File::Duplicate(StandardStream stream) {
    static const char* const kNames[] = {"standard input", "standard output", "standard error"};
    const char* name = kNames[static_cast<int>(stream)];
    Expected<os::Handle> handle = os::Duplicate(stream);
    if (!handle) {
        return os::Explained(handle.error(), std::string("cannot use ") + name, {});
    }
    return File(*handle, name);
}

File File::Adopt(std::intptr_t native, std::string name) noexcept {
    return File(native, std::move(name));
}

std::intptr_t File::Release() noexcept {
    return std::exchange(handle_, kNoHandle);
}

Expected<size_t> File::Read(std::span<uint8_t> buffer) {
    Expected<size_t> got = os::Read(handle_, buffer);
    if (!got) {
        return os::Explained(got.error(), "cannot read " + name_, {});
    }
    return got;
}

Expected<void> File::WriteAll(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        Expected<size_t> put = os::Write(handle_, bytes);
        if (!put) {
            const Cause cause = put.error().cause;
            return os::Explained(put.error(), "cannot write " + name_,
                                 cause == Cause::NoSpace ? "free some space on its disk" : "");
        }
        bytes = bytes.subspan(*put);
    }
    return {};
}

Expected<void> File::WriteAll(std::string_view text) {
    return WriteAll(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

Expected<FileInfo> File::Info() const {
    Expected<FileInfo> info = os::Info(handle_);
    if (!info) {
        return os::Explained(info.error(), "cannot look at " + name_, {});
    }
    return info;
}

Expected<void> File::Flush() {
    Expected<void> flushed = os::Flush(handle_);
    if (!flushed) {
        return os::Explained(flushed.error(), "cannot write " + name_ + " to the disk");
    }
    return {};
}

Expected<void> File::Close() {
    if (!IsOpen()) return {};
    Expected<void> closed = os::Close(std::exchange(handle_, kNoHandle));
    if (!closed) {
        return os::Explained(closed.error(), "cannot write " + name_, {});
    }
    return {};
}

Expected<bool> File::TryLock() {
    Expected<bool> locked = os::TryLock(handle_);
    if (!locked) {
        return os::Explained(locked.error(), "cannot lock " + name_, {});
    }
    return locked;
}

Expected<void> WriteStandard(StandardStream stream, std::string_view text) {
    auto bytes = std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    const os::Handle handle = os::Standard(stream);
    while (!bytes.empty()) {
        Expected<size_t> put = os::Write(handle, bytes);
        if (!put) return os::Explained(put.error(), "cannot write");
        bytes = bytes.subspan(*put);
    }
    return {};
}

}  // namespace korvel::base
