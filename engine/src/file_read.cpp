#include "file_read.h"

#include <utility>

#include "base/file.h"
#include "base/read_file.h"

namespace cordane {

namespace {

using korvel::base::Cause;

// A file that could not be read, with the system's words for why.
void Unreadable(FileBytes& file, const korvel::base::Error& error) {
    file.fault = FileFault::Unreadable;
    file.reason = error.detail.empty() ? error.message : error.detail;
}

// A file that could not be opened: the engine's fault for the cause.
void CannotOpen(FileBytes& file, const korvel::base::Error& error) {
    switch (error.cause) {
        case Cause::NotFound:  // no such file, or a part of the path that is no directory
            file.fault = FileFault::Missing;
            return;
        case Cause::Denied:
            file.fault = FileFault::Denied;
            return;
        case Cause::IsDirectory:
            file.fault = FileFault::Directory;
            return;
        default:
            Unreadable(file, error);
            return;
    }
}

// Opens without waiting (a FIFO without a writer is refused, not waited for) and checks the kind
// of file; fills `file`'s fault and size.
korvel::base::File Open(const std::string& path, FileBytes& file) {
    korvel::base::Expected<korvel::base::File> opened =
        korvel::base::File::Open(path, korvel::base::FileAccess::Read);
    if (!opened) {
        CannotOpen(file, opened.error());
        return {};
    }
    const korvel::base::Expected<korvel::base::FileInfo> info = opened->Info();
    if (!info) {
        Unreadable(file, info.error());
        return {};
    }
    if (info->kind != korvel::base::FileKind::Regular) {
        file.fault = info->kind == korvel::base::FileKind::Directory ? FileFault::Directory
                                                                     : FileFault::NotRegular;
        return {};
    }
    file.size = info->size;
    return std::move(*opened);
}

}  // namespace

FileBytes ProbeFile(const std::string& path) {
    FileBytes file;
    (void)Open(path, file);
    return file;
}

FileBytes ReadWholeFile(const std::string& path, size_t limit, size_t slack) {
    FileBytes file;
    korvel::base::File opened = Open(path, file);
    if (!opened) return file;
    if (file.size > limit) {
        file.fault = FileFault::TooLarge;
        return file;
    }
    // Read to the end, whatever the size said: a file that grows past the limit meanwhile is
    // refused too, never cut.
    korvel::base::Expected<korvel::base::FileBytes> read = korvel::base::ReadToEnd(
        opened,
        {.limit = limit, .overLimit = korvel::base::OverLimit::KeepBeginning, .slack = slack});
    if (!read) {
        Unreadable(file, read.error());
        return file;
    }
    file.size = read->size;
    if (read->cut) {
        file.fault = FileFault::TooLarge;
        return file;
    }
    file.bytes = std::move(read->bytes);
    return file;
}

std::string FileFaultReason(const FileBytes& file, size_t limit) {
    switch (file.fault) {
        case FileFault::None:
            return "it can be read";
        case FileFault::Missing:
            return "no such file";
        case FileFault::Directory:
            return "it is a directory";
        case FileFault::NotRegular:
            return "it is not a regular file (a device, a FIFO or a socket)";
        case FileFault::Denied:
            return "permission denied";
        case FileFault::TooLarge:
            return "it is " + std::to_string(file.size) + " bytes long, more than the " +
                   std::to_string(limit) + " bytes a download file may have";
        case FileFault::Unreadable:
            return file.reason;
    }
    return "it cannot be read";
}

}  // namespace cordane
