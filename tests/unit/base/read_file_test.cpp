// Whole-file reading with its limits and refusals, and the lock two programs take on one file.
#include "base/read_file.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/file_lock.h"
#include "base/replace_file.h"
#include "support/temp_dir.h"

namespace {

using namespace korvel::base;
namespace fs = std::filesystem;

class WholeFiles : public ::testing::Test {
  protected:
    std::string Write(const char* name, const std::string& text) {
        const std::string path = (fs::path(dir_.path()) / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    korvel::testkit::TempDir dir_;
};

std::string Text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(WholeFiles, ReadsWholeFilesWithinTheLimitAndTheBeginningOfLongerOnes) {
    const std::string path = Write("data.bin", std::string(1000, 'a') + "tail");
    Expected<FileBytes> whole = ReadWholeFile(path);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->bytes.size(), 1004u);
    EXPECT_EQ(whole->size, 1004u);
    EXPECT_FALSE(whole->cut);

    Expected<FileBytes> exact = ReadWholeFile(path, {.limit = 1004, .slack = 3});
    ASSERT_TRUE(exact) << "a file exactly at the limit is taken";
    EXPECT_EQ(Text(exact->bytes).substr(1000), std::string("tail\0\0\0", 7));

    const Expected<FileBytes> over = ReadWholeFile(path, {.limit = 1003});
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().cause, Cause::TooLarge);
    EXPECT_NE(over.error().message.find("1004 bytes long, more than the 1003"), std::string::npos)
        << over.error().message;

    Expected<FileBytes> beginning =
        ReadWholeFile(path, {.limit = 10, .overLimit = OverLimit::KeepBeginning});
    ASSERT_TRUE(beginning);
    EXPECT_TRUE(beginning->cut);
    EXPECT_EQ(Text(beginning->bytes), std::string(10, 'a'));
    EXPECT_EQ(beginning->size, 1004u) << "the whole file's size, not the part read";

    // Mapped in place or read, the same bytes.
    Expected<FileView> view = FileView::Map(path);
    ASSERT_TRUE(view);
    EXPECT_EQ(std::string(view->bytes().begin(), view->bytes().end()), Text(whole->bytes));
    Expected<FileView> empty = FileView::Map(Write("empty", ""));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->bytes().empty());
}

TEST_F(WholeFiles, RefusesWhatIsNoRegularFileWithoutWaitingAndNamesIt) {
#ifndef _WIN32  // no FIFOs or /dev on Windows; its devices are tried by the Windows tests
    const std::string fifo = (fs::path(dir_.path()) / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Expected<FileBytes> piped = ReadWholeFile(fifo);
    ASSERT_FALSE(piped) << "a FIFO without a writer must not hold the open";
    EXPECT_EQ(piped.error().cause, Cause::NotRegularFile);
    EXPECT_EQ(piped.error().message,
              fifo + " is a FIFO (named pipe) or a pipe, not a regular file");

    const Expected<FileBytes> device = ReadWholeFile("/dev/zero");
    ASSERT_FALSE(device) << "an endless device";
    EXPECT_NE(device.error().message.find("/dev/zero is a character device"), std::string::npos);
#endif

    const Expected<FileBytes> folder = ReadWholeFile(dir_.path(), {.regularOnly = false});
    ASSERT_FALSE(folder) << "a folder, even when other kinds are allowed";
    EXPECT_EQ(folder.error().cause, Cause::IsDirectory);

    const Expected<FileBytes> missing = ReadWholeFile(dir_.path() + "/missing.sre");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().cause, Cause::NotFound);
#ifdef _WIN32
    const std::string words = missing.error().detail;  // the system's own, in its language
#else
    const std::string words = "No such file or directory";
#endif
    EXPECT_NE(FormatError(missing.error()).find("missing.sre: " + words + "\ncheck"),
              std::string::npos)
        << FormatError(missing.error());
}

#ifndef _WIN32  // FIFOs, and mapped files cut short, are POSIX matters
TEST_F(WholeFiles, APipeIsReadWhenAskedForUpToTheLimit) {
    const std::string fifo = (fs::path(dir_.path()) / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer(
        [&fifo] { std::ofstream(fifo, std::ios::binary) << std::string(5000, 'p'); });
    Expected<FileBytes> piped = ReadWholeFile(
        fifo, {.limit = 1000, .overLimit = OverLimit::KeepBeginning, .regularOnly = false});
    writer.join();
    ASSERT_TRUE(piped) << piped.error().message;
    EXPECT_TRUE(piped->cut);
    EXPECT_EQ(piped->bytes.size(), 1000u);
    EXPECT_EQ(piped->size, 1001u) << "of a pipe, only the bytes seen are known";
}

TEST_F(WholeFiles, AMappedFileCutShortEndsTheProgramWithItsMessage) {
    const std::string path = Write("input.sre", std::string(3 * 4096, 'S'));
    auto readAfterCut = [&path] {
        const MappingGuard guard("input.sre was cut short\n", 7);
        Expected<FileView> view = FileView::Map(path);
        if (!view) std::abort();
        std::filesystem::resize_file(path, 0);
        volatile uint8_t last = view->bytes().back();
        (void)last;
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, whatever threads run
    EXPECT_EXIT(readAfterCut(), ::testing::ExitedWithCode(7), "input.sre was cut short");
}

#endif

TEST_F(WholeFiles, ALockHeldByOneOpenFileKeepsOthersOutAndFollowsAReplacement) {
    const std::string path = Write("Brenmark.ini", "[OPTIONS]\r\n");
    Expected<FileLock> first = FileLock::TryAcquire(path, FileAccess::ReadWrite);
    ASSERT_TRUE(first);
    const Expected<FileLock> second = FileLock::TryAcquire(path);
    ASSERT_FALSE(second) << "two opens in one process exclude each other as two programs do";
    EXPECT_EQ(second.error().cause, Cause::Busy);
    EXPECT_NE(second.error().message.find("Brenmark.ini is in use"), std::string::npos);

    // The holder replaces the file and lets go: the next lock is on the new file, and free.
    const std::string_view text = "[OPTIONS]\r\nsealed\r\n";
    ASSERT_TRUE(ReplaceWholeFile(
        path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())));
    Expected<FileLock> afterwards = FileLock::TryAcquire(path);
    ASSERT_TRUE(afterwards) << "the new file is not the locked one";
    EXPECT_TRUE(first->file().Close());
    Expected<FileBytes> read = ReadToEnd(afterwards->file());
    ASSERT_TRUE(read);
    EXPECT_EQ(Text(read->bytes), text);
}

}  // namespace
