// What Windows asks of the library beyond what every system's tests check: files shared as POSIX
// files are, a lock that keeps only other lockers out, replacement that keeps a file's attributes
// and refuses a file held without sharing, names in UTF-8, arguments that reach a child as given,
// and a wait on a child's pipe that a wake-up still ends.
#ifdef _WIN32

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/file.h"
#include "base/file_lock.h"
#include "base/process.h"
#include "base/read_file.h"
#include "base/replace_file.h"
#include "base/wait.h"
#include "support/temp_dir.h"

namespace {

using namespace korvel::base;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

DWORD AttributesOf(const std::string& path) {
    return ::GetFileAttributesW(fs::path(path).wstring().c_str());
}

size_t Entries(const std::string& folder) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(folder), {}));
}

TEST(Windows, AReplacedFileKeepsItsAttributesAndAHeldOneIsLeftAlone) {
    korvel::testkit::TempDir dir;
    const std::string path = dir.Write("Brenmark.ini", "old");
    ASSERT_TRUE(::SetFileAttributesW(fs::path(path).wstring().c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(ReplaceWholeFile(path, Bytes("new")));
    EXPECT_EQ(korvel::testkit::ReadText(path), "new");
    EXPECT_NE(AttributesOf(path) & FILE_ATTRIBUTE_HIDDEN, 0u) << "kept from the file replaced";

    // Forced bits without any write bit: a file nobody may write, new or not.
    const std::string fresh = dir.File("image.bin");
    ASSERT_TRUE(ReplaceWholeFile(fresh, Bytes("image"), {.forcedMode = 0444}));
    EXPECT_NE(AttributesOf(fresh) & FILE_ATTRIBUTE_READONLY, 0u);
    // Replaced as on POSIX systems, where the bits guard the bytes and not the name: read-only
    // still.
    ASSERT_TRUE(ReplaceWholeFile(fresh, Bytes("kept read-only")));
    EXPECT_NE(AttributesOf(fresh) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(korvel::testkit::ReadText(fresh), "kept read-only");
    ASSERT_TRUE(ReplaceWholeFile(fresh, Bytes("again"), {.forcedMode = 0644}))
        << "forced bits with a write bit make it writable again";
    EXPECT_EQ(AttributesOf(fresh) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(korvel::testkit::ReadText(fresh), "again");

    // Another program holds the file without sharing it: refused, and nothing changes.
    const HANDLE held = ::CreateFileW(fs::path(path).wstring().c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const Expected<void> refused = ReplaceWholeFile(path, Bytes("lost"));
    const Expected<File> opened = File::Open(path, FileAccess::Read);
    ::CloseHandle(held);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().cause, Cause::Busy) << "a sharing violation";
    EXPECT_EQ(opened.error().message, "cannot open " + path + ": " + opened.error().detail);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().cause, Cause::Busy) << refused.error().message;
    EXPECT_NE(refused.error().message.find("cannot write " + path + ": "), std::string::npos)
        << refused.error().message;
    EXPECT_EQ(refused.error().hint, path + " is unchanged");
    EXPECT_EQ(korvel::testkit::ReadText(path), "new");
    EXPECT_EQ(Entries(dir.path()), 2u) << "no temporary file left beside them";
}

TEST(Windows, DevicesAreWrittenInPlaceFoldersRefusedAndNamesAreUtf8) {
    ASSERT_TRUE(ReplaceWholeFile("NUL", Bytes("discarded")));

    korvel::testkit::TempDir dir;
    fs::create_directory(dir.File("folder"));
    const Expected<void> folder = ReplaceWholeFile(dir.File("folder"), Bytes("x"));
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().cause, Cause::IsDirectory);
    EXPECT_NE(folder.error().message.find("is a directory"), std::string::npos);
    const Expected<File> opened = File::Open(dir.File("folder"), FileAccess::Create);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().cause, Cause::IsDirectory);

    // A name beyond ASCII, in UTF-8, is the same file to the system's UTF-16 calls.
    const std::string name = dir.File(
        "Gr\xC3\xB6\xC3\x9F"
        "e \xE2\x82\xAC.bin");
    ASSERT_TRUE(ReplaceWholeFile(name, Bytes("utf-8")));
    EXPECT_TRUE(fs::exists(fs::path(dir.path()) / fs::path(L"Gr\u00F6\u00DFe \u20AC.bin")));
    Expected<FileBytes> read = ReadWholeFile(name);
    ASSERT_TRUE(read) << read.error().message;
    EXPECT_EQ(std::string(read->bytes.begin(), read->bytes.end()), "utf-8");

    const Expected<void> invalid = ReplaceWholeFile(dir.File("bad\xFF.bin"), Bytes("x"));
    ASSERT_FALSE(invalid) << "a name that is not UTF-8 is refused, not changed";
    EXPECT_EQ(invalid.error().cause, Cause::BadInput);
    EXPECT_EQ(Entries(dir.path()), 2u);
}

TEST(Windows, ALockedFileStaysReadableAndAMappedFileCannotBeCutShort) {
    korvel::testkit::TempDir dir;
    const std::string path = dir.Write("input.sre", std::string(3 * 4096, 'S'));
    Expected<FileLock> lock = FileLock::TryAcquire(path, FileAccess::ReadWrite);
    ASSERT_TRUE(lock);
    // Windows' locks keep out the bytes they cover; the lock covers none of the file's.
    Expected<FileBytes> read = ReadWholeFile(path);
    ASSERT_TRUE(read) << read.error().message;
    EXPECT_EQ(read->bytes.size(), 3u * 4096);
    EXPECT_FALSE(FileLock::TryAcquire(path)) << "but it keeps other lockers out";
    ASSERT_TRUE(lock->file().Close());

    Expected<FileView> view = FileView::Map(path);
    ASSERT_TRUE(view);
    std::error_code error;
    fs::resize_file(path, 0, error);
    EXPECT_TRUE(error) << "a mapped file cannot be cut shorter";
    EXPECT_EQ(view->bytes().size(), 3u * 4096);
    EXPECT_EQ(view->bytes().back(), 'S');
}

TEST(Windows, ArgumentsAndVariablesReachAChildAsGivenAndAWakeupEndsAWaitOnItsPipe) {
    const std::vector<std::string> arguments = {
        "plain", "two words", "", "say \"hi\"", "C:\\path with\\", "a\\\\\"b", "tab\there"};
    SpawnOptions options;
    options.program = KORVEL_BASE_CHILD;
    options.arguments = {options.program, "arguments"};
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    options.output = Output::Pipe();
    Expected<Finished> run = RunToEnd(options, 20s);
    ASSERT_TRUE(run) << run.error().message;
    std::string expected;
    for (const std::string& argument : arguments) expected += "[" + argument + "]\n";
    EXPECT_EQ(run->output, expected);

    // Names of variables are one in any case on Windows: a variable given replaces this
    // process's, never stands beside it.
    ASSERT_TRUE(::SetEnvironmentVariableW(L"KORVEL_CASE", L"this process's"));
    SpawnOptions report;
    report.program = KORVEL_BASE_CHILD;
    report.arguments = {report.program, "report", "KORVEL_CASE"};
    report.environment = {{"korvel_case", "given"}};
    report.nullInput = true;
    report.output = Output::Pipe();
    run = RunToEnd(report, 20s);
    ::SetEnvironmentVariableW(L"KORVEL_CASE", nullptr);
    ASSERT_TRUE(run) << run.error().message;
    EXPECT_EQ(korvel::testkit::Lines(run->output).at(0), "KORVEL_CASE=given");

    // A child that writes nothing: only the wake-up from another thread ends the wait.
    SpawnOptions quiet;
    quiet.program = KORVEL_BASE_CHILD;
    quiet.arguments = {quiet.program, "sleep"};
    quiet.output = Output::Pipe();
    Expected<Child> child = Child::Spawn(quiet);
    ASSERT_TRUE(child);
    Expected<Wakeup> wakeup = Wakeup::Create();
    ASSERT_TRUE(wakeup);
    const Waitable items[] = {child->output(), *wakeup};
    std::thread waker([&wakeup] {
        std::this_thread::sleep_for(50ms);
        wakeup->Wake();
    });
    Expected<std::vector<bool>> ready = WaitForAny(items, 20s);
    waker.join();
    ASSERT_TRUE(ready);
    EXPECT_EQ(*ready, (std::vector<bool>{false, true}));
    uint8_t byte = 0;
    const Expected<size_t> nothing = child->output().Read({&byte, 1});
    ASSERT_FALSE(nothing) << "an empty pipe is not waited on";
    EXPECT_EQ(nothing.error().cause, Cause::WouldBlock);

    // Its end is seen too: killed, the pipe is ready and reads as ended.
    ASSERT_TRUE(child->Stop(StopRequest::Kill));
    ASSERT_TRUE(child->Wait());
    wakeup->Clear();
    ready = WaitForAny(items, 20s);
    ASSERT_TRUE(ready);
    EXPECT_EQ(*ready, (std::vector<bool>{true, false}));
    const Expected<size_t> end = child->output().Read({&byte, 1});
    ASSERT_TRUE(end);
    EXPECT_EQ(*end, 0u);
}

}  // namespace

#endif
