#include "base/read_file.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

#include "os.h"

namespace korvel::base {
namespace {

constexpr size_t kFirstChunk = 0x10000;  // the first read of something of unknown size

Error TooLarge(const std::string& name, uint64_t size, size_t limit) {
    return Error(kFailureCode,
                 name + " is " + std::to_string(size) + " bytes long, more than the " +
                     std::to_string(limit) + " bytes allowed",
                 "give a file of at most " + std::to_string(limit) + " bytes", Cause::TooLarge);
}

Error NoMemory(const std::string& name) {
    return Error(kFailureCode, name + " is too large to read into memory",
                 "close other programs, or give a smaller file", Cause::OutOfMemory);
}

// A file of the wrong kind, refused before a byte is read.
Expected<void> CheckKind(const std::string& path, FileKind kind, bool regularOnly) {
    if (kind == FileKind::Directory) {
        return Error(kFailureCode, path + " is a directory", "give a file", Cause::IsDirectory);
    }
    if (regularOnly && kind != FileKind::Regular) {
        // A pipe or a device may never end, or never deliver a byte.
        return Error(kFailureCode, path + " is " + DescribeFileKind(kind) + ", not a regular file",
                     "save the data to a file first, and give that file", Cause::NotRegularFile);
    }
    return {};
}

// Opens `path` for reading, refusing the kinds `options` does not take.
Expected<std::pair<File, FileInfo>> OpenChecked(const std::string& path,
                                                const ReadOptions& options) {
    File file;
    const Expected<FileInfo> named = os::InfoOf(path);
    if (!options.regularOnly && named && named->kind == FileKind::Fifo) {
        // Asked for: opened waiting for a writer, whose bytes are then read to their end. (Opened
        // without waiting, a FIFO would read as empty until the writer comes.)
        Expected<os::Handle> handle = os::Open(path, FileAccess::Read, true);
        if (!handle) return os::Explained(handle.error(), "cannot open " + path);
        file = File::Adopt(*handle, path);
    } else {
        KORVEL_ASSIGN_OR_RETURN(file, File::Open(path, FileAccess::Read));
    }
    KORVEL_ASSIGN_OR_RETURN(const FileInfo info, file.Info());
    KORVEL_TRY(CheckKind(path, info.kind, options.regularOnly));
    if (info.kind != FileKind::Regular) {
        // Opened without waiting for a writer or a carrier; what is read now waits as usual.
        (void)os::SetWaiting(file.Native(), true);
    }
    return std::pair(std::move(file), info);
}

Expected<FileBytes> ReadOpen(File& file, const FileInfo& info, const ReadOptions& options) {
    const bool regular = info.kind == FileKind::Regular;
    const size_t limit = options.limit;
    if (regular && info.size > limit && options.overLimit == OverLimit::Refuse) {
        return TooLarge(file.Name(), info.size, limit);
    }
    // One byte past the limit tells a longer file; one byte past the expected size lets the read
    // that meets the end return 0 without first growing the buffer.
    const size_t wanted = limit == SIZE_MAX ? limit : limit + 1;
    FileBytes out;
    try {
        std::vector<uint8_t>& bytes = out.bytes;
        size_t size = 0;
        const size_t first = regular && info.size > 0 && info.size < SIZE_MAX
                                 ? static_cast<size_t>(info.size) + 1
                                 : kFirstChunk;
        bytes.resize(std::min(first, wanted));
        for (;;) {
            if (size == bytes.size()) {
                if (size >= wanted) break;
                bytes.resize(size > wanted / 2 ? wanted : std::max(size * 2, kFirstChunk));
            }
            Expected<size_t> got = file.Read(std::span(bytes).subspan(size));
            if (!got) return std::move(got).error();
            if (*got == 0) break;
            size += *got;
        }
        // Read to the end, whatever the size said: a file that grew past the limit meanwhile is
        // refused too, never cut (unless its beginning is what was asked for).
        out.cut = size > limit;
        if (out.cut && options.overLimit == OverLimit::Refuse) {
            return TooLarge(file.Name(), std::max<uint64_t>(info.size, size), limit);
        }
        out.size = out.cut && regular ? std::max<uint64_t>(info.size, size) : size;
        const size_t kept = out.cut ? limit : size;
        bytes.resize(kept + options.slack);
        std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(kept), bytes.end(), uint8_t{0});
    } catch (const std::bad_alloc&) {
        return NoMemory(file.Name());
    } catch (const std::length_error&) {
        return NoMemory(file.Name());
    }
    return out;
}

}  // namespace

Expected<FileBytes> ReadWholeFile(const std::string& path, const ReadOptions& options) {
    KORVEL_ASSIGN_OR_RETURN(auto opened, OpenChecked(path, options));
    return ReadOpen(opened.first, opened.second, options);
}

Expected<FileInfo> CheckReadable(const std::string& path, const ReadOptions& options) {
    KORVEL_ASSIGN_OR_RETURN(auto opened, OpenChecked(path, options));
    const FileInfo& info = opened.second;
    if (info.kind == FileKind::Regular && info.size > options.limit &&
        options.overLimit == OverLimit::Refuse) {
        return TooLarge(path, info.size, options.limit);
    }
    return info;
}

Expected<FileBytes> ReadToEnd(File& file, const ReadOptions& options) {
    KORVEL_ASSIGN_OR_RETURN(const FileInfo info, file.Info());
    // To its end: a pipe read without waiting (a child's output) waits from now on.
    if (info.kind != FileKind::Regular) (void)os::SetWaiting(file.Native(), true);
    return ReadOpen(file, info, options);
}

FileView::FileView(FileView&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      size_(other.size_),
      cut_(other.cut_),
      mapped_(std::exchange(other.mapped_, false)),
      read_(std::move(other.read_)) {}

FileView& FileView::operator=(FileView&& other) noexcept {
    if (this != &other) {
        Unmap();
        data_ = std::exchange(other.data_, nullptr);
        length_ = std::exchange(other.length_, 0);
        size_ = other.size_;
        cut_ = other.cut_;
        mapped_ = std::exchange(other.mapped_, false);
        read_ = std::move(other.read_);
    }
    return *this;
}

FileView::~FileView() {
    Unmap();
}

void FileView::Unmap() noexcept {
    if (mapped_) os::Unmap({data_, length_});
    mapped_ = false;
}

Expected<FileView> FileView::Map(const std::string& path, const ReadOptions& options) {
    KORVEL_ASSIGN_OR_RETURN(auto opened, OpenChecked(path, options));
    auto& [file, info] = opened;
    FileView view;
    if (info.kind == FileKind::Regular && info.size > 0 && info.size < SIZE_MAX) {
        if (info.size > options.limit && options.overLimit == OverLimit::Refuse) {
            return TooLarge(path, info.size, options.limit);
        }
        const auto length = static_cast<size_t>(std::min<uint64_t>(info.size, options.limit));
        if (Expected<os::Mapping> mapping = os::Map(file.Native(), length)) {
            view.data_ = mapping->data;
            view.length_ = mapping->length;
            view.mapped_ = true;
            view.size_ = info.size;
            view.cut_ = info.size > options.limit;
            return view;
        }
    }
    // Nothing to map (an empty file, a pipe, a system without mappings): read it instead.
    ReadOptions read = options;
    read.slack = 0;
    KORVEL_ASSIGN_OR_RETURN(FileBytes bytes, ReadOpen(file, info, read));
    view.read_ = std::move(bytes.bytes);
    view.data_ = view.read_.data();
    view.length_ = view.read_.size();
    view.size_ = bytes.size;
    view.cut_ = bytes.cut;
    return view;
}

MappingGuard::MappingGuard(std::string_view message, int exitCode) {
    os::GuardMappings(std::string(message), exitCode);
}

MappingGuard::~MappingGuard() {
    os::UnguardMappings();
}

}  // namespace korvel::base
