// cordane convert: turns an S-record file into the memory image the engine builds from it, as a
// binary file whose byte 0 stands for the image's first address.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "commands.h"
#include "srec.h"

namespace cordane::tools {

namespace {

constexpr size_t kEngineImageCapacity = 0x7FFFF;   // image buffer of 0x80000 bytes, less byte 0
constexpr size_t kSmallReaderTextLimit = 0x40000;  // text the engine reads of a small reader's file
constexpr size_t kLargeReaderTextLimit = 0x400000;  // text it reads of a large reader's file
constexpr size_t kCapacityLimit = 0x1000100;  // beyond any 24-bit address plus one record's data

constexpr char kHelp[] =
    "usage: cordane convert [--window LO:HI] [--capacity N] INPUT.sre OUTPUT.bin\n"
    "\n"
    "Converts a Motorola S-record file into the memory image the download engine builds from it\n"
    "and writes the image to OUTPUT: byte 0 stands for the image's first address, holes between\n"
    "records are 0xFF, and the file ends at the last byte of data. Only S2 records are taken.\n"
    "\n"
    "  (no --window)    every record from address 0x2000 on; byte 0 is address 0x2000, as for\n"
    "                   a small reader's application\n"
    "  --window LO:HI   only records whose address lies in [LO, HI); byte 0 is address LO, as\n"
    "                   for the regions of a large reader's files (e.g. 0xD000:0x80000)\n"
    "  --capacity N     largest image accepted, in bytes (default 0x7FFFF = 524,287, the\n"
    "                   engine's image buffer; a larger value converts images it would refuse)\n"
    "Numbers are decimal or hexadecimal with 0x.\n"
    "\n"
    "The whole input is converted. The engine reads at most 262,144 bytes (0x40000) of a small\n"
    "reader's application file and at most 4 MB of a large reader's file, and would convert\n"
    "only that part: a longer input is converted whole, with a warning.\n"
    "OUTPUT is written only when the conversion succeeds; it is replaced if it exists.\n"
    "\n"
    "Exit codes: 0 image written; 1 input unreadable or refused, or output not written;\n"
    "2 bad command line.\n";

// An open file descriptor, closed when it goes out of scope.
class UniqueFd {
  public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    // Closes now and reports whether the close succeeded (a failed close may mean lost data).
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

// A temporary file next to the destination, removed unless it has been moved into place.
class TempFile {
  public:
    explicit TempFile(std::string path) : path_(std::move(path)) {}
    ~TempFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }
    void Release() { path_.clear(); }

  private:
    std::string path_;
};

int Usage(const char* problem) {
    std::fprintf(stderr,
                 "cordane convert: %s\nusage: cordane convert [--window LO:HI] [--capacity N] "
                 "INPUT.sre OUTPUT.bin (\"cordane convert --help\" tells more)\n",
                 problem);
    return kExitUsage;
}

// A number in decimal or, with 0x, in hexadecimal; nothing else around it.
bool ParseNumber(const char* text, unsigned long long max, unsigned long long& value) {
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (*text == '\0') return false;
    for (const char* c = text; *c != '\0'; ++c) {
        const bool digit = base == 16 ? std::isxdigit(static_cast<unsigned char>(*c)) != 0
                                      : (*c >= '0' && *c <= '9');
        if (!digit) return false;
    }
    errno = 0;
    value = std::strtoull(text, nullptr, base);
    return errno == 0 && value <= max;
}

bool ParseWindow(const std::string& text, uint32_t& lower, uint32_t& upper) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    const std::string lo = text.substr(0, colon);
    const std::string hi = text.substr(colon + 1);
    unsigned long long l = 0;
    unsigned long long h = 0;
    if (!ParseNumber(lo.c_str(), UINT32_MAX, l) || !ParseNumber(hi.c_str(), UINT32_MAX, h)) {
        return false;
    }
    lower = static_cast<uint32_t>(l);
    upper = static_cast<uint32_t>(h);
    return true;
}

// A large buffer taken straight from the kernel, in huge pages where the system offers them, with
// its pages mapped before use. Left to page faults, 4 KB at a time, mapping the pages of a few
// megabytes costs more than converting them.
class PageBuffer {
  public:
    PageBuffer() = default;
    ~PageBuffer() { Free(); }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    PageBuffer(PageBuffer&& other) noexcept { *this = std::move(other); }
    PageBuffer& operator=(PageBuffer&& other) noexcept {
        if (this != &other) {
            Free();
            data_ = std::exchange(other.data_, nullptr);
            capacity_ = std::exchange(other.capacity_, 0);
            size = std::exchange(other.size, 0);
        }
        return *this;
    }

    // Replaces the buffer with `capacity` zeroed bytes (at least one); false when out of memory.
    bool Allocate(size_t capacity) {
        Free();
        const size_t length = capacity > 0 ? capacity : 1;
        void* p =
            ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return false;
        data_ = static_cast<uint8_t*>(p);
        capacity_ = length;
        // Both are hints: without them the pages are mapped on first use instead.
        ::madvise(p, length, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
        ::madvise(p, length, MADV_POPULATE_WRITE);
#endif
        return true;
    }
    uint8_t* data() const {
        return data_;
    }
    size_t capacity() const {
        return capacity_;
    }

    size_t size = 0;  // bytes in use

  private:
    void Free() {
        if (data_ != nullptr) ::munmap(data_, capacity_);
        data_ = nullptr;
        capacity_ = 0;
        size = 0;
    }

    uint8_t* data_ = nullptr;
    size_t capacity_ = 0;
};

// The input file's text: mapped in place when the file allows it, which spares copying it, else
// read whole (pipes, devices, files whose size the system does not report).
class InputText {
  public:
    InputText() = default;
    ~InputText() {
        if (mapped_ != nullptr) ::munmap(mapped_, size_);
    }
    InputText(const InputText&) = delete;
    InputText& operator=(const InputText&) = delete;

    bool Load(const char* path) {
        UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
        struct stat info {};
        if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
            std::fprintf(stderr, "cordane convert: cannot open %s: %s; check the file's name\n",
                         path, std::strerror(errno));
            return false;
        }
        if (S_ISDIR(info.st_mode)) {
            std::fprintf(stderr, "cordane convert: %s is a directory; give an S-record file\n",
                         path);
            return false;
        }
        if (S_ISREG(info.st_mode) && info.st_size > 0) {
            const size_t size = static_cast<size_t>(info.st_size);
            void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd.get(), 0);
            if (p != MAP_FAILED) {
                mapped_ = p;
                size_ = size;
                return true;
            }
        }
        return ReadAll(fd.get(), path, info.st_size > 0 ? static_cast<size_t>(info.st_size) : 0);
    }

    const uint8_t* data() const {
        return mapped_ != nullptr ? static_cast<const uint8_t*>(mapped_) : read_.data();
    }
    size_t size() const { return mapped_ != nullptr ? size_ : read_.size; }
    bool mapped() const { return mapped_ != nullptr; }

  private:
    bool ReadAll(int fd, const char* path, size_t sizeHint) {
        // One byte more than the expected size lets the read that meets the end of the file
        // return 0 without first growing the buffer.
        bool ok = read_.Allocate(sizeHint > 0 ? sizeHint + 1 : 0x10000);
        while (ok) {
            if (read_.size == read_.capacity()) {
                PageBuffer grown;
                ok = grown.Allocate(read_.capacity() * 2);
                if (!ok) break;
                std::memcpy(grown.data(), read_.data(), read_.size);
                grown.size = read_.size;
                read_ = std::move(grown);
            }
            const ssize_t got =
                ::read(fd, read_.data() + read_.size, read_.capacity() - read_.size);
            if (got == 0) return true;
            if (got < 0) {
                if (errno == EINTR) continue;
                std::fprintf(stderr, "cordane convert: cannot read %s: %s\n", path,
                             std::strerror(errno));
                return false;
            }
            read_.size += static_cast<size_t>(got);
        }
        std::fprintf(stderr, "cordane convert: %s is too large to read into memory\n", path);
        return false;
    }

    void* mapped_ = nullptr;
    size_t size_ = 0;
    PageBuffer read_;
};

// A mapped file cut shorter while it is being converted makes the lost pages raise SIGBUS. While a
// guard lives, that ends the program with a message and the bad-input exit code instead of a
// crash; no output file exists yet at that point.
char g_changedMessage[1024];
size_t g_changedLength = 0;

extern "C" void OnInputChanged(int) {
    ssize_t ignored = ::write(STDERR_FILENO, g_changedMessage, g_changedLength);
    (void)ignored;
    ::_exit(kExitBadInput);
}

class InputChangeGuard {
  public:
    explicit InputChangeGuard(const char* path) {
        const int n = std::snprintf(g_changedMessage, sizeof g_changedMessage,
                                    "\ncordane convert: %s was cut short while it was being "
                                    "read; convert it again once nothing writes to it\n",
                                    path);
        g_changedLength = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof g_changedMessage - 1);
        struct sigaction action {};
        action.sa_handler = OnInputChanged;
        sigemptyset(&action.sa_mask);
        installed_ = ::sigaction(SIGBUS, &action, &previous_) == 0;
    }
    ~InputChangeGuard() {
        if (installed_) ::sigaction(SIGBUS, &previous_, nullptr);
    }
    InputChangeGuard(const InputChangeGuard&) = delete;
    InputChangeGuard& operator=(const InputChangeGuard&) = delete;

  private:
    struct sigaction previous_ {};
    bool installed_ = false;
};

// Writes `data` to `path` through a temporary file in the same directory, renamed into place once
// it is complete, so that a failure never leaves a partial output.
bool WriteFileAtomically(const char* path, const uint8_t* data, size_t size) {
    std::string pattern = std::string(path) + ".XXXXXX";
    UniqueFd fd(::mkstemp(pattern.data()));
    if (fd.get() < 0) {
        std::fprintf(stderr,
                     "cordane convert: cannot create a file next to %s: %s; check that its "
                     "directory exists and is writable\n",
                     path, std::strerror(errno));
        return false;
    }
    TempFile temp(pattern);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd.get(), 0666 & ~mask);  // mkstemp creates 0600; give the usual mode of a new file

    size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(fd.get(), data + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            std::fprintf(stderr, "cordane convert: cannot write %s: %s; check the free space\n",
                         path, put < 0 ? std::strerror(errno) : "nothing written");
            return false;
        }
        done += static_cast<size_t>(put);
    }
    if (!fd.Close() || ::rename(temp.path().c_str(), path) != 0) {
        std::fprintf(stderr, "cordane convert: cannot write %s: %s\n", path, std::strerror(errno));
        return false;
    }
    temp.Release();
    return true;
}

// What the user can do about a refused file.
const char* Advice(SrecError error) {
    switch (error) {
        case SrecError::OutOfOrder:
            return "Records must come in ascending address order without overlap: build the file "
                   "again, or sort its records by address.";
        case SrecError::ShortCount:
            return "The file is damaged: build it again with the reader's tools.";
        case SrecError::Truncated:
            return "The file is incomplete: copy it again, or build it again.";
        case SrecError::ImageTooLarge:
            return "Check the record addresses, convert a part with --window, or raise "
                   "--capacity if the image is not meant for the engine.";
        case SrecError::None:
            break;
    }
    return "";
}

}  // namespace

int RunConvert(int argc, char** argv) {
    bool windowed = false;
    uint32_t lower = kPlainStart;
    uint32_t upper = UINT32_MAX;
    size_t capacity = kEngineImageCapacity;
    const char* input = nullptr;
    const char* output = nullptr;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && (arg == "--help" || arg == "-h")) {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (options && arg == "--") {
            options = false;
        } else if (options && (arg == "--window" || arg.rfind("--window=", 0) == 0)) {
            std::string value;
            if (arg == "--window") {
                if (i + 1 >= argc) return Usage("--window needs LO:HI, e.g. 0xD000:0x80000");
                value = argv[++i];
            } else {
                value = arg.substr(9);
            }
            if (!ParseWindow(value, lower, upper)) {
                return Usage(("bad window \"" + value +
                              "\": give LO:HI, two addresses in decimal or 0x hexadecimal")
                                 .c_str());
            }
            if (lower >= upper) {
                return Usage(("empty window \"" + value + "\": LO must be below HI").c_str());
            }
            windowed = true;
        } else if (options && (arg == "--capacity" || arg.rfind("--capacity=", 0) == 0)) {
            std::string value;
            if (arg == "--capacity") {
                if (i + 1 >= argc) return Usage("--capacity needs a number of bytes");
                value = argv[++i];
            } else {
                value = arg.substr(11);
            }
            unsigned long long number = 0;
            if (!ParseNumber(value.c_str(), kCapacityLimit, number)) {
                return Usage(("bad capacity \"" + value +
                              "\": give a number of bytes up to 0x1000100, in decimal or 0x "
                              "hexadecimal")
                                 .c_str());
            }
            capacity = static_cast<size_t>(number);
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            return Usage(("unknown option " + arg).c_str());
        } else if (input == nullptr) {
            input = argv[i];
        } else if (output == nullptr) {
            output = argv[i];
        } else {
            return Usage(("one argument too many: " + arg).c_str());
        }
    }
    if (output == nullptr) return Usage("give both an INPUT.sre and an OUTPUT.bin file");

    InputText text;
    if (!text.Load(input)) return kExitBadInput;
    const size_t engineLimit = windowed ? kLargeReaderTextLimit : kSmallReaderTextLimit;
    if (text.size() > engineLimit) {
        std::fprintf(stderr,
                     "cordane convert: warning: %s is %zu bytes long; the engine reads only the "
                     "first %zu bytes of a %s reader's file and would convert less than this "
                     "image\n",
                     input, text.size(), engineLimit, windowed ? "large" : "small");
    }

    PageBuffer image;
    if (!image.Allocate(capacity)) {
        std::fprintf(stderr, "cordane convert: no memory for an image of %zu bytes\n", capacity);
        return kExitBadInput;
    }

    PrintConversionBanner();
    SrecResult result;
    {
        const InputChangeGuard guard(input);
        result = windowed ? ConvertSrecWindow(text.data(), text.size(), image.data(), capacity,
                                              lower, upper)
                          : ConvertSrecPlain(text.data(), text.size(), image.data(), capacity);
    }
    if (result.error != SrecError::None) {
        std::fputc('\n', stdout);
        std::fflush(stdout);
        std::string where = "record at byte " + std::to_string(result.offset);
        if (result.address != 0 || result.error != SrecError::Truncated) {
            char address[32];
            std::snprintf(address, sizeof address, " (address 0x%06X)", result.address);
            where += address;
        }
        std::fprintf(stderr, "cordane convert: %s: %s %s. %s\n", input, where.c_str(),
                     SrecErrorText(result.error), Advice(result.error));
        if (result.error == SrecError::ImageTooLarge) {
            std::fprintf(stderr,
                         "  The image from address 0x%X may be at most %zu (0x%zX) bytes long.\n",
                         lower, capacity, capacity);
        }
        std::fprintf(stderr, "  %s was not written.\n", output);
        return kExitBadInput;
    }

    if (!WriteFileAtomically(output, image.data(), result.length)) {
        std::fputc('\n', stdout);
        return kExitBadInput;
    }
    if (result.length == 0) {
        std::printf("wrote 0 bytes to %s\n", output);
        if (windowed) {
            std::fprintf(stderr,
                         "cordane convert: warning: %s holds no S2 data in [0x%X, 0x%X); the "
                         "image is empty. Check the window.\n",
                         input, lower, upper);
        } else {
            std::fprintf(stderr,
                         "cordane convert: warning: %s holds no S2 data at or above 0x2000; the "
                         "image is empty. Check that this is the reader's application file.\n",
                         input);
        }
    } else {
        std::printf("wrote %zu bytes (0x%X-0x%zX) to %s\n", result.length, lower,
                    size_t{lower} + result.length - 1, output);
    }
    return kExitOk;
}

}  // namespace cordane::tools
