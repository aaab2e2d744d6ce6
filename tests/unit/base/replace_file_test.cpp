// Whole-file replacement: what it leaves on the disk in every case, through the unnamed file and
// through the named temporary file the other file systems get.
#include "base/replace_file.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "base/process.h"
#include "os.h"  // the library's seam: which way the replacement goes
#include "support/temp_dir.h"

namespace {

using namespace korvel::base;
namespace fs = std::filesystem;

Expected<void> Replace(const fs::path& path, std::string_view text, ReplaceOptions options = {}) {
    return ReplaceWholeFile(path.string(),
                            std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                            options);
}

#ifndef _WIN32  // the permission bits are POSIX ones
void Put(const fs::path& path, const std::string& text, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

mode_t ModeOf(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

mode_t Umask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

#endif

[[maybe_unused]] size_t Entries(const fs::path& folder) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(folder), {}));
}

// Each case runs both ways: through an unnamed file, and through a named temporary file.
class Replacement : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { os::UseUnnamedFiles(GetParam()); }
    void TearDown() override { os::UseUnnamedFiles(true); }

    korvel::testkit::TempDir dir_;
    fs::path Path(const char* name) const { return fs::path(dir_.path()) / name; }
};

#ifndef _WIN32  // modes, links, FIFOs, file size limits: the Windows tests have their own
TEST_P(Replacement, NewFilesGetTheUsualModeAndExistingFilesKeepTheirs) {
    ASSERT_TRUE(Replace(Path("new.bin"), "fresh"));
    EXPECT_EQ(korvel::testkit::ReadText(Path("new.bin")), "fresh");
    EXPECT_EQ(ModeOf(Path("new.bin")), 0666 & ~Umask());
    ASSERT_TRUE(Replace(Path("private.reg"), "x", {.newFileMode = 0600}));
    EXPECT_EQ(ModeOf(Path("private.reg")), 0600 & ~Umask());

    Put(Path("kept.ini"), "old contents", 0640);
    ASSERT_TRUE(Replace(Path("kept.ini"), "new"));
    EXPECT_EQ(korvel::testkit::ReadText(Path("kept.ini")), "new");
    EXPECT_EQ(ModeOf(Path("kept.ini")), 0640u) << "an existing file keeps its mode";

    // A caller that always sets the mode gets it whatever the file had and whatever the umask.
    Put(Path("image.bin"), "old", 0600);
    ASSERT_TRUE(Replace(Path("image.bin"), "new", {.forcedMode = 0644}));
    EXPECT_EQ(ModeOf(Path("image.bin")), 0644u);
    EXPECT_EQ(Entries(dir_.path()), 4u) << "no temporary file left beside them";
}

TEST_P(Replacement, LinksAreFollowedAndStayLinks) {
    fs::create_directory(Path("other"));
    Put(Path("other/target.bin"), "old", 0644);
    fs::create_symlink("other/target.bin", Path("link.bin"));
    fs::create_symlink("link.bin", Path("chain.bin"));
    ASSERT_TRUE(Replace(Path("chain.bin"), "through"));
    EXPECT_TRUE(fs::is_symlink(Path("chain.bin")));
    EXPECT_TRUE(fs::is_symlink(Path("link.bin")));
    EXPECT_EQ(korvel::testkit::ReadText(Path("other/target.bin")), "through");
    EXPECT_EQ(Entries(Path("other")), 1u) << "replaced in its own folder, nothing left there";

    fs::create_symlink("other/new.bin", Path("dangling.bin"));
    ASSERT_TRUE(Replace(Path("dangling.bin"), "made")) << "a link to a file still to be made";
    EXPECT_EQ(korvel::testkit::ReadText(Path("other/new.bin")), "made");

    fs::create_symlink("loop.bin", Path("loop.bin"));
    const Expected<void> loop = Replace(Path("loop.bin"), "x");
    ASSERT_FALSE(loop);
    EXPECT_NE(loop.error().message.find("loop.bin"), std::string::npos) << loop.error().message;
}

TEST_P(Replacement, FifosAndDevicesAreWrittenInPlaceAndFoldersRefused) {
    const fs::path fifo = Path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Expected<void> unread = Replace(fifo, "nobody reads");
    ASSERT_FALSE(unread) << "a FIFO without a reader is refused at once, not waited for";
    EXPECT_EQ(unread.error().cause, Cause::Busy);
    EXPECT_NE(unread.error().message.find("nothing reads from"), std::string::npos);

    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(Replace(fifo, "piped"));
    char received[16] = {};
    EXPECT_EQ(::read(reader, received, sizeof received), 5);
    EXPECT_STREQ(received, "piped");
    ::close(reader);
    EXPECT_TRUE(fs::is_fifo(fifo)) << "still a FIFO, not replaced by a file";

    ASSERT_TRUE(Replace("/dev/null", "discarded"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));

    fs::create_directory(Path("folder"));
    const Expected<void> folder = Replace(Path("folder"), "x");
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().cause, Cause::IsDirectory);
    EXPECT_NE(folder.error().message.find("is a directory"), std::string::npos);
    EXPECT_EQ(Entries(dir_.path()), 2u);
}

TEST_P(Replacement, AFailedWriteLeavesTheOriginalAndNoTemporaryFile) {
    Put(Path("kept.bin"), "the original", 0644);
    // The file size limit makes the write fail half-way, as a full disk would.
    struct rlimit previous {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = previous;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const Expected<void> written = Replace(Path("kept.bin"), std::string(100000, 'x'));
    ::setrlimit(RLIMIT_FSIZE, &previous);
    ::signal(SIGXFSZ, previousHandler);

    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().cause, Cause::NoSpace);
    EXPECT_NE(written.error().message.find("kept.bin"), std::string::npos);
    EXPECT_EQ(written.error().detail, std::strerror(EFBIG));
    EXPECT_EQ(korvel::testkit::ReadText(Path("kept.bin")), "the original");
    EXPECT_EQ(Entries(dir_.path()), 1u);
}

#endif

TEST_P(Replacement, AMissingFolderIsRefusedInTheSystemsOwnWordsToo) {
    // Callers that put the reason into a sentence of their own quote `detail`.
    const Expected<void> written = Replace(Path("gone/dump.bin"), "bytes");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().cause, Cause::NotFound);
#ifdef _WIN32
    EXPECT_FALSE(written.error().detail.empty());
    EXPECT_NE(written.error().message.find(written.error().detail), std::string::npos);
#else
    EXPECT_EQ(written.error().detail, std::strerror(ENOENT));
#endif
    EXPECT_NE(written.error().message.find("gone/dump.bin"), std::string::npos);
    EXPECT_FALSE(fs::exists(Path("gone")));
}

#ifndef _WIN32  // Windows' access lists are not POSIX modes (and Wine enforces none)
TEST_P(Replacement, AFolderThatIsNotWritableIsRefusedCleanly) {
    // Run as an ordinary user: root writes into any folder.
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    fs::create_directory(Path("locked"));
    Put(Path("locked/kept.ini"), "old", 0666);
    ASSERT_EQ(::chmod(Path("locked").c_str(), 0555), 0);
    SpawnOptions options;
    options.program = KORVEL_BASE_CHILD;
    options.arguments = {options.program, "replace", Path("locked/kept.ini").string()};
    options.environment = {{"KORVEL_REPLACE_WAY", GetParam() ? "unnamed" : "named"}};
    options.output = Output::Pipe();
    const Expected<Finished> run = RunToEnd(options, std::chrono::seconds(30));
    ::chmod(Path("locked").c_str(), 0755);
    ASSERT_TRUE(run) << run.error().message;
    EXPECT_EQ(run->status, ExitStatus::Exited(1)) << run->output;
    EXPECT_NE(run->output.find("locked/kept.ini"), std::string::npos) << run->output;
    EXPECT_NE(run->output.find("\ncheck that its folder exists and is writable"), std::string::npos)
        << run->output;
    EXPECT_EQ(korvel::testkit::ReadText(Path("locked/kept.ini")), "old");
    EXPECT_EQ(Entries(Path("locked")), 1u);
}

#endif

INSTANTIATE_TEST_SUITE_P(BothWays, Replacement, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Unnamed" : "Named"; });

}  // namespace
