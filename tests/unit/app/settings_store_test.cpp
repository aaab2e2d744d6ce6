#include "settings_store.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace brenmark {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
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
    ASSERT_TRUE(SettingsStore::Parse(Bytes(text), store, error)) << error;
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
    const std::string written = store.Serialize();
    ASSERT_TRUE(SettingsStore::Parse(Bytes(written), again, error)) << error;
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
    ASSERT_TRUE(SettingsStore::Parse(bytes, store, error)) << error;
    EXPECT_EQ(store.GetString("FileName"), "/home/zoë/app.sre");
    EXPECT_EQ(store.GetNumber("nCom"), 2u);
    bytes.pop_back();  // odd length
    EXPECT_FALSE(SettingsStore::Parse(bytes, store, error));
}

TEST(SettingsStore, RefusesWhatIsNotSuchAFile) {
    SettingsStore store;
    std::string error;
    const std::string head =
        "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Software\\Korvel\\Brenmark]\n";
    for (const std::string& text :
         {std::string(""), std::string("garbage\n"), head + "\"a\"=\"open\n", head + "a=dword:1\n",
          head + "\"a\"=dword:123456789\n", head + "\"a\"=dword:xyz\n", head + "\"a\"=hex:00\n",
          head + "[unclosed\n", std::string("W\0i", 3)}) {
        EXPECT_FALSE(SettingsStore::Parse(Bytes(text), store, error)) << text;
        EXPECT_FALSE(error.empty());
    }
}

class StoreFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("store-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
               std::to_string(getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string Read(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::filesystem::path dir;
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

TEST_F(StoreFiles, CreatedSavedAndCorruptKeptAside) {
    const std::filesystem::path path = dir / "sub" / "brenmark.reg";
    StoreFile file(path.string());
    std::string problem;
    EXPECT_EQ(file.Open(problem), StoreFile::Opened::Created);
    EXPECT_EQ(problem, "");
    file.store().SetNumber("nCom", 1);
    std::string error;
    ASSERT_TRUE(file.Save(error)) << error;
    EXPECT_EQ((std::filesystem::status(path).permissions() & std::filesystem::perms::others_read),
              std::filesystem::perms::none);

    StoreFile reopened(path.string());
    EXPECT_EQ(reopened.Open(problem), StoreFile::Opened::Existing);
    EXPECT_EQ(reopened.store().GetNumber("ncom"), 1u);

    std::ofstream(path, std::ios::binary) << "not a store";
    StoreFile corrupt(path.string());
    EXPECT_EQ(corrupt.Open(problem), StoreFile::Opened::Created);
    EXPECT_NE(problem.find(path.string()), std::string::npos);
    ASSERT_TRUE(corrupt.Save(error));
    EXPECT_EQ(Read(path.string() + ".corrupt"), "not a store");
    EXPECT_EQ(corrupt.Open(problem), StoreFile::Opened::Existing);
}

TEST_F(StoreFiles, InterruptedSaveLeavesTheOldStore) {
    const std::filesystem::path path = dir / "brenmark.reg";
    StoreFile file(path.string());
    std::string problem;
    std::string error;
    file.Open(problem);
    file.store().SetString("FileName", "/old.sre");
    ASSERT_TRUE(file.Save(error));
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
        big.Open(childProblem);
        big.store().SetString("FileName", std::string(5000, 'x'));
        std::string childError;
        _exit(big.Save(childError) ? 0 : 7);
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
