#include "brenmark/settings_store.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "support/temp_dir.h"

namespace brenmark {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// The store's operations with their refusals as the text the operator reads.
bool Parse(const std::vector<uint8_t>& bytes, SettingsStore& store, std::string& error) {
    korvel::base::Expected<SettingsStore> parsed = SettingsStore::Parse(bytes);
    if (!parsed) {
        error = parsed.error().message;
        return false;
    }
    store = std::move(*parsed);
    return true;
}
enum class Opened { Existing, Created, Unreadable };
Opened Open(StoreFile& file, std::string& problem) {
    const korvel::base::Expected<StoreFile::Opened> opened = file.Open();
    problem = opened ? "" : korvel::base::FormatError(opened.error());
    if (!opened) return Opened::Unreadable;
    return *opened == StoreFile::Opened::Existing ? Opened::Existing : Opened::Created;
}
bool Save(StoreFile& file, std::string& error) {
    const korvel::base::Expected<void> saved = file.Save();
    error = saved ? "" : korvel::base::FormatError(saved.error());
    return static_cast<bool>(saved);
}

TEST(SettingsStore, ParsesAndWritesTheExportFormat) {
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n\"FileName\"=\"elsewhere\"\r\n\r\n"
        "[hkey_local_machine\\software\\korvel\\brenmark]\r\n"
        "\"FileName\"=\"C:\\\\kit\\\\say \\\"hi\\\".sre\"\r\n"
        "\"nCom\"=dword:80000003\n"
        "\"readerType\"=dword:5\n"
        "; a comment\n";
    SettingsStore store;
    std::string error;
    ASSERT_TRUE(Parse(Bytes(text), store, error)) << error;
    EXPECT_EQ(store.GetString("filename"), "C:\\kit\\say \"hi\".sre");
    EXPECT_EQ(store.GetNumber("NCOM"), 0x80000003u);
    EXPECT_EQ(store.GetNumber("readerType"), 5u);
    EXPECT_EQ(store.GetNumber("FileName"), std::nullopt);  // a string is no number
    EXPECT_EQ(store.Values().size(), 3u);

    // A value set under another spelling replaces it and keeps the first spelling.
    store.SetString("fileName", "/a/b\\c\"d");
    store.SetNumber("ncom", 0xFFFFFFFFu);
    EXPECT_FALSE(store.SetString("x", "two\nlines"));
    SettingsStore again;
    const std::vector<uint8_t> bytes = store.Serialize();
    const std::string written(bytes.begin(), bytes.end());
    ASSERT_TRUE(Parse(bytes, again, error)) << error;
    EXPECT_EQ(again.GetString("FILENAME"), "/a/b\\c\"d");
    EXPECT_EQ(again.GetNumber("nCom"), 0xFFFFFFFFu);
    EXPECT_NE(written.find("\"FileName\"=\"/a/b\\\\c\\\"d\""), std::string::npos);
    EXPECT_NE(written.find("\"nCom\"=dword:ffffffff"), std::string::npos);
}

TEST(SettingsStore, ReadsUtf16WithItsMark) {
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Korvel\\"
        u"Brenmark]\r\n\"FileName\"=\"/home/zoë/app.sre\"\r\n\"nCom\"=dword:00000002\r\n";
    std::vector<uint8_t> bytes{0xFF, 0xFE};
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    SettingsStore store;
    std::string error;
    ASSERT_TRUE(Parse(bytes, store, error)) << error;
    EXPECT_EQ(store.GetString("FileName"), "/home/zoë/app.sre");
    EXPECT_EQ(store.GetNumber("nCom"), 2u);
    bytes.pop_back();  // odd length
    EXPECT_FALSE(Parse(bytes, store, error));
}

TEST(SettingsStore, RefusesWhatIsNotSuchAFile) {
    SettingsStore store;
    std::string error;
    const std::string head =
        "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Software\\Korvel\\Brenmark]\n";
    for (const std::string& text :
         {std::string(""), std::string("garbage\n"), head + "\"a\"=\"open\n", head + "a=dword:1\n",
          head + "\"a\"=dword:123456789\n", head + "\"a\"=dword:xyz\n", head + "\"a\"=12\n",
          head + "[unclosed\n", std::string("W\0i", 3)}) {
        EXPECT_FALSE(Parse(Bytes(text), store, error)) << text;
        EXPECT_FALSE(error.empty());
    }
}

std::vector<uint8_t> Utf16(const std::string& ascii) {
    std::vector<uint8_t> bytes{0xFF, 0xFE};
    for (char c : ascii) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(0);
    }
    return bytes;
}

TEST(SettingsStore, KeepsEveryLineItDoesNotOwn) {
    // An export copied from a station: other keys, comments, blank lines, hex data over several
    // lines, a default value, and both kinds of line end.
    const std::string before =
        "Windows Registry Editor Version 5.00\r\n\r\n; exported from station 4\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n\"FileName\"=\"elsewhere\"\r\n"
        "\"Blob\"=hex:00,01,02,\\\r\n  03,04\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Korvel\\Brenmark]\r\n@=\"default\"\r\n"
        "\"nCom\" = dword:3\r\n\"FileName\"=\"/old.sre\"   \r\n"
        "\"Extra\"=hex(2):41,00,\\\r\n  00,00\r\n; after our values\r\n\r\n"
        "[HKEY_CURRENT_USER\\Other]\n\"x\"=dword:1\n";
    // Only the changed value's line is rewritten; new values follow the key's last line.
    std::string after = before;
    after.replace(after.find("\"/old.sre\"   "), 13, "\"/new.sre\"");
    after.insert(after.find("; after"), "\"readerType\"=dword:00000005\r\n\"FileName2\"=\"\"\r\n");
    // The same in the UTF-16 of a Windows export, which is written back as UTF-16.
    for (const bool wide : {false, true}) {
        const std::vector<uint8_t> bytes = wide ? Utf16(before) : Bytes(before);
        SettingsStore store;
        std::string error;
        ASSERT_TRUE(Parse(bytes, store, error)) << error;
        EXPECT_EQ(store.Values().size(), 2u);
        EXPECT_EQ(store.Serialize(), bytes);
        SettingsStore copy = store;
        EXPECT_EQ(copy.SetString("FileName", "\xFF"), !wide);  // a byte UTF-16 has no place for
        store.SetNumber("ncom", 3);  // the value it holds: its line stays as it was written
        store.SetString("filename", "/new.sre");
        store.SetNumber("readerType", 5);
        store.SetString("FileName2", "");
        EXPECT_EQ(store.Serialize(), wide ? Utf16(after) : Bytes(after)) << wide;
    }

    // A file without the key gets it at its end; of a value written twice the last counts, and
    // that is the line rewritten.
    const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Korvel\\Brenmark]";
    const std::string other =
        "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\X]\n\"a\"=\"b\"";
    const std::string twice = "Windows Registry Editor Version 5.00\n" + key +
                              "\n\"nCom\"=dword:1\n" + key + "\n\"NCOM\"=dword:2\n";
    for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
             {other, other + "\n\n" + key + "\n\"nCom\"=dword:00000007\n\n"},
             {twice, "Windows Registry Editor Version 5.00\n" + key + "\n\"nCom\"=dword:1\n" + key +
                         "\n\"nCom\"=dword:00000007\n"}}) {
        SettingsStore store;
        std::string error;
        ASSERT_TRUE(Parse(Bytes(text), store, error)) << error;
        store.SetNumber("nCom", 7);
        EXPECT_EQ(store.Serialize(), Bytes(expected)) << text;
        ASSERT_TRUE(Parse(Bytes(expected), store, error));
        EXPECT_EQ(store.GetNumber("ncom"), 7u);
    }
}

class StoreFiles : public ::testing::Test {
  protected:
    std::string Read(const std::filesystem::path& path) {
        return korvel::testkit::ReadText(path.string());
    }
    korvel::testkit::TempDir temp;
    std::filesystem::path dir{temp.path()};
};

TEST_F(StoreFiles, PathFollowsTheEnvironment) {
    const char* saved = std::getenv("KORVEL_REGISTRY");
    const std::string keep = saved ? saved : "";
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("KORVEL_REGISTRY", "/x/store.reg", 1);
    EXPECT_EQ(SettingsStorePath(), "/x/store.reg");
    ::unsetenv("KORVEL_REGISTRY");
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(SettingsStorePath(), "/cfg/korvel/brenmark.reg");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
    ::setenv("HOME", "/home/op", 1);
    EXPECT_EQ(SettingsStorePath(), "/home/op/.config/korvel/brenmark.reg");
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", home.c_str(), 1);
    if (saved) ::setenv("KORVEL_REGISTRY", keep.c_str(), 1);
}

TEST_F(StoreFiles, CreatedAndSaved) {
    const std::filesystem::path path = dir / "sub" / "brenmark.reg";
    StoreFile file(path.string());
    std::string problem;
    EXPECT_EQ(Open(file, problem), Opened::Created);
    EXPECT_EQ(problem, "");
    file.store().SetNumber("nCom", 1);
    std::string error;
    ASSERT_TRUE(Save(file, error)) << error;
    EXPECT_EQ((std::filesystem::status(path).permissions() & std::filesystem::perms::others_read),
              std::filesystem::perms::none);

    StoreFile reopened(path.string());
    EXPECT_EQ(Open(reopened, problem), Opened::Existing);
    EXPECT_EQ(reopened.store().GetNumber("ncom"), 1u);
}

TEST_F(StoreFiles, BigStoreWithCommentsIsReadAndKept) {
    // An export of a whole station, over 1 MiB, with our key among the others.
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
    for (int i = 0; i < 12000; ++i) {
        text += "; " + std::string(80, 'a' + i % 26) + "\r\n[HKEY_LOCAL_MACHINE\\Software\\S" +
                std::to_string(i) + "]\r\n\"v\"=dword:00000001\r\n\r\n";
        if (i == 6000) {
            text +=
                "[HKEY_LOCAL_MACHINE\\Software\\Korvel\\Brenmark]\r\n\"FileName\"=\"/old.sre\"\r\n";
        }
    }
    ASSERT_GT(text.size(), 1u << 20);
    const std::string path = (dir / "brenmark.reg").string();
    std::ofstream(path, std::ios::binary) << text;
    StoreFile file(path);
    std::string problem;
    ASSERT_EQ(Open(file, problem), Opened::Existing) << problem;
    EXPECT_EQ(file.store().GetString("FileName"), "/old.sre");
    file.store().SetString("FileName", "/new.sre");
    std::string error;
    ASSERT_TRUE(Save(file, error)) << error;
    text.replace(text.find("/old.sre"), 8, "/new.sre");
    EXPECT_TRUE(Read(path) == text);  // not printed: 2 MB
}

TEST_F(StoreFiles, UnreadableStoreIsNeverWrittenOverOnlyMovedAsideBySave) {
    const std::string path = (dir / "brenmark.reg").string();
    const std::vector<std::function<void()>> makers{
        [&] { std::ofstream(path, std::ios::binary) << "not a store"; },
        [&] {  // where the file should be
            std::filesystem::create_directory(path);
            std::ofstream(path + "/inside") << "x";
        },
        [&] {  // larger than the store may be (sparse: nothing is read)
            std::ofstream(path, std::ios::binary) << "Windows Registry Editor Version 5.00\n;";
            std::filesystem::resize_file(path, kStoreSizeLimit + 1);
        }};
    for (size_t i = 0; i < makers.size(); ++i) {
        SCOPED_TRACE(i);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::ofstream(path + ".corrupt") << "an earlier one";  // never replaced
        makers[i]();
        struct stat before {};
        ASSERT_EQ(::lstat(path.c_str(), &before), 0);
        StoreFile file(path);
        std::string problem;
        EXPECT_EQ(Open(file, problem), Opened::Unreadable);
        EXPECT_NE(problem.find(path + ".corrupt.2"), std::string::npos) << problem;
        file.store().SetNumber("nCom", 3);
        std::string error;
        ASSERT_TRUE(Save(file, error)) << error;
        // The same file, whole, under the new name; the earlier copy untouched.
        struct stat kept {};
        ASSERT_EQ(::lstat((path + ".corrupt.2").c_str(), &kept), 0);
        EXPECT_EQ(kept.st_ino, before.st_ino);
        EXPECT_EQ(kept.st_size, before.st_size);
        EXPECT_EQ(kept.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        EXPECT_EQ(Read(path + ".corrupt"), "an earlier one");
        StoreFile saved(path);
        ASSERT_EQ(Open(saved, problem), Opened::Existing) << problem;
        EXPECT_EQ(saved.store().GetNumber("ncom"), 3u);
    }
}

TEST_F(StoreFiles, StoreTheUserCannotReadIsKept) {
    const std::string path = (dir / "brenmark.reg").string();
    const std::string text =
        "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Software\\Korvel\\Brenmark]\n"
        "\"nCom\"=dword:4\n";
    std::ofstream(path, std::ios::binary) << text;
    ::chmod(path.c_str(), 0);
    // Open and save as the user; each failure has its own code.
    auto asTheUser = [&path]() -> int {
        StoreFile file(path);
        std::string problem;
        if (Open(file, problem) != Opened::Unreadable) return 1;
        if (problem.find("Permission denied") == std::string::npos) return 2;
        file.store().SetNumber("nCom", 3);
        std::string error;
        if (!Save(file, error)) return 3;
        StoreFile saved(path);
        if (Open(saved, problem) != Opened::Existing) return 4;
        return saved.store().GetNumber("nCom") == 3u ? 0 : 5;
    };
    int result = 0;
    if (::geteuid() != 0) {
        result = asTheUser();
    } else {
        // Root reads every file: the user is another one, in a child.
        ::chmod(dir.c_str(), 0777);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(99);
            _exit(asTheUser());
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        result = WEXITSTATUS(status);
        if (result == 99) GTEST_SKIP() << "root cannot act as another user here";
    }
    EXPECT_EQ(result, 0);
    ::chmod((path + ".corrupt").c_str(), 0600);
    EXPECT_EQ(Read(path + ".corrupt"), text);
}

TEST_F(StoreFiles, InterruptedSaveLeavesTheOldStore) {
    const std::filesystem::path path = dir / "brenmark.reg";
    StoreFile file(path.string());
    std::string problem;
    std::string error;
    Open(file, problem);
    file.store().SetString("FileName", "/old.sre");
    ASSERT_TRUE(Save(file, error));
    const std::string before = Read(path);

    // A child saves a store larger than it may write, as on a full disk.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            100, 100
        };
        setrlimit(RLIMIT_FSIZE, &limit);
        StoreFile big(path.string());
        std::string childProblem;
        Open(big, childProblem);
        big.store().SetString("FileName", std::string(5000, 'x'));
        std::string childError;
        _exit(Save(big, childError) ? 0 : 7);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(Read(path), before);
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                            std::filesystem::directory_iterator()),
              1);
}

}  // namespace
}  // namespace brenmark
