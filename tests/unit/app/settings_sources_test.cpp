// The dialog's initialisation and Quit with the options file, the settings store and the kit.
#include "brenmark/settings_sources.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "brenmark/application_files.h"
#include "brenmark/options_file.h"
#include "brenmark/settings_store.h"
#include "dialog_harness.h"

namespace brenmarktest {
namespace {

using brenmark::CDownloadDlg;
using brenmark::SettingsSources;
using namespace brenmark;  // the control identifiers

class StepsTest : public DialogTest {
  protected:
    void SetUp() override {
        DialogTest::SetUp();
        store = (dir / "brenmark.reg").string();
        sources = std::make_unique<SettingsSources>(dir.string(), store);
        stepped = std::make_unique<CDownloadDlg>(sources.get());
        stepped->AttachView(&view);
        stepped->SetPortProbe([this] { return ports; });
        stepped->SetErrorSink([this](const std::string& line) { errors.push_back(line); });
    }
    void TearDown() override {
        stepped.reset();
        DialogTest::TearDown();
    }
    void Options(const std::string& text) {
        std::ofstream(dir / "Brenmark.ini", std::ios::binary) << text;
    }
    void Store(const std::string& values) {
        std::ofstream(store, std::ios::binary)
            << "Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKEY_LOCAL_MACHINE\\Software\\Korvel\\Brenmark]\r\n"
            << values;
    }
    std::string Read(const std::string& path) { return korvel::testkit::ReadText(path); }
    brenmark::SettingsStore Stored() {
        brenmark::StoreFile file(store);
        const auto opened = file.Open();
        EXPECT_TRUE(opened && *opened == brenmark::StoreFile::Opened::Existing)
            << (opened ? "" : opened.error().message);
        return file.store();
    }

    std::string store;
    std::unique_ptr<SettingsSources> sources;
    std::unique_ptr<CDownloadDlg> stepped;
};

TEST_F(StepsTest, NoOptionsFileAndFirstRun) {
    stepped->OnInitDialog();
    EXPECT_EQ(stepped->downloadType, 0);
    EXPECT_EQ(stepped->eraseDataFlash, 0);
    EXPECT_EQ(stepped->askQuestion, 0);
    EXPECT_TRUE(view.boxes.empty());
    const brenmark::SettingsStore first = Stored();
    EXPECT_EQ(first.GetNumber("nCom"), 1u);
    EXPECT_EQ(first.GetNumber("svCom"), 1u);
    EXPECT_EQ(first.GetNumber("readerType"), 0u);
    EXPECT_EQ(first.GetNumber("swReaderType"), 0u);
    EXPECT_EQ(first.GetNumber("reboot"), 0u);
    EXPECT_EQ(first.GetString("FileName"), std::nullopt);
    EXPECT_EQ(view.ListSelection(kPortList), 0);  // COM1
}

TEST_F(StepsTest, StoreWrittenByHandFillsTheDialog) {
    Store(
        "\"FileName\"=\"/kit/app.sre\"\r\n\"FileName2\"=\"/kit/drv.sre\"\r\n"
        "\"nCom\"=dword:80000003\r\n\"readerType\"=dword:00000005\r\n");
    stepped->OnInitDialog();
    EXPECT_EQ(view.ControlText(kApplicationFile), "/kit/app.sre");
    EXPECT_EQ(view.ControlText(kDriverFile), "/kit/drv.sre");
    EXPECT_EQ(view.ListItemText(kPortList, view.ListSelection(kPortList)), "KORVEL03");
    EXPECT_EQ(view.ListSelection(kTerminalList), 5);

    // Quit remembers what the fields show, the port and the reader type.
    view.SetControlText(kApplicationFile, "/kit/other.sre");
    view.SetListSelection(kPortList, 0);
    view.SetListSelection(kTerminalList, -1);
    stepped->OnQuit();
    const brenmark::SettingsStore saved = Stored();
    EXPECT_EQ(saved.GetString("FILENAME"), "/kit/other.sre");
    EXPECT_EQ(saved.GetNumber("nCom"), 1u);
    EXPECT_EQ(saved.GetNumber("readerType"), 0xFFFFFFFFu);
    EXPECT_EQ(saved.Values().size(), 4u);
}

TEST_F(StepsTest, RememberedConversions) {
    EXPECT_EQ(brenmark::StoredPortToWord(0x80000004u), 0x8004);
    EXPECT_EQ(brenmark::StoredPortToWord(256), 0);
    EXPECT_EQ(brenmark::StoredPortToWord(0x103), 3);
    Store("\"nCom\"=dword:ffffffff\r\n\"readerType\"=dword:ffffffff\r\n");
    sources->LoadRememberedSettings(*stepped);
    EXPECT_EQ(int{stepped->readerType}, 255);  // a packed field, read by value
    EXPECT_EQ(static_cast<uint16_t>(stepped->portWord), 0xFFFF);
    // Missing names were created empty.
    EXPECT_EQ(Stored().GetString("FileName"), "");
    EXPECT_EQ(Stored().GetString("FileName2"), "");
}

TEST_F(StepsTest, StationExportKeepsAllButOurChangedValuesThroughLoadAndQuit) {
    const std::string before =
        "Windows Registry Editor Version 5.00\r\n\r\n; station 4\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n\"nCom\"=dword:9\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Korvel\\Brenmark]\r\n\"FileName\"=\"/kit/app.sre\"\r\n"
        "\"FileName2\"=\"/kit/drv.sre\"\r\n\"nCom\"=dword:80000003\r\n\"readerType\"=dword:5\r\n"
        "\"Custom\"=hex:01,02\r\n; keep me\r\n";
    std::ofstream(store, std::ios::binary) << before;
    stepped->OnInitDialog();
    EXPECT_EQ(view.ControlText(kApplicationFile), "/kit/app.sre");
    EXPECT_EQ(Read(store), before);
    view.SetControlText(kApplicationFile, "/kit/other.sre");
    stepped->OnQuit();
    std::string after = before;
    after.replace(after.find("/kit/app.sre"), 12, "/kit/other.sre");
    EXPECT_EQ(Read(store), after);
}

TEST_F(StepsTest, UnreadableStoreIsLeftUntilQuitThenKeptWhole) {
    // A string not closed: not a store this program can read, nor rewrite line by line.
    const std::string corrupt =
        "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\Software\\Korvel\\Brenmark]"
        "\r\n\"FileName\"=\"/kit/app.sre\r\n; and more\r\n";
    std::ofstream(store, std::ios::binary) << corrupt;
    stepped->OnInitDialog();
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_NE(view.boxes[0].find(store + " is not a settings file"), std::string::npos);
    EXPECT_NE(view.boxes[0].find(store + ".corrupt"), std::string::npos);
    EXPECT_EQ(Read(store), corrupt);  // nothing written at start-up
    EXPECT_FALSE(std::filesystem::exists(store + ".corrupt"));
    view.SetControlText(kApplicationFile, "/kit/new.sre");
    stepped->OnQuit();
    EXPECT_EQ(view.boxes.size(), 1u);  // said once
    EXPECT_EQ(Read(store + ".corrupt"), corrupt);
    EXPECT_EQ(Stored().GetString("FileName"), "/kit/new.sre");
    EXPECT_EQ(Stored().GetNumber("reboot"), 0u);
}

TEST_F(StepsTest, DownloadTypeTwoAndThree) {
    Options("[OPTIONS]\r\nDownloadType=2\r\n[DATA_FLASH]\r\nErase=1\r\nAskQuestion=1\r\n");
    Store(
        "\"swFileName\"=\"/img.bin\"\r\n\"svCom\"=dword:80000003\r\n"
        "\"swReaderType\"=dword:4\r\n\"FileName\"=\"/not-this.sre\"\r\n");
    stepped->OnInitDialog();
    EXPECT_EQ(stepped->downloadType, 2);
    EXPECT_EQ(stepped->eraseDataFlash, 1);
    EXPECT_EQ(stepped->askQuestion, 1);
    EXPECT_EQ(view.ControlText(kApplicationFile), "/img.bin");
    EXPECT_EQ(view.ControlText(kDriverFile), brenmark::kBinaryLoadingFile);
    EXPECT_FALSE(view.IsControlEnabled(kDriverFile));
    EXPECT_FALSE(view.IsControlEnabled(kDriverBrowse));
    EXPECT_TRUE(view.IsControlEnabled(kApplicationBrowse));
    EXPECT_EQ(view.ListSelection(kTerminalList), 4);
    EXPECT_EQ(view.ListItemText(kPortList, view.ListSelection(kPortList)), "KORVEL03");
    stepped->OnQuit();
    EXPECT_EQ(Stored().GetString("swFileName"), "/img.bin");
    EXPECT_EQ(Stored().GetNumber("swReaderType"), 4u);

    // Erase code mode: both names are the mode's text, and they are what is remembered.
    Options("[OPTIONS]\r\nDownloadType=3x\r\n[SERIAL_PORT]\r\nSerialPort=1\r\n");
    CDownloadDlg erase(sources.get());
    erase.AttachView(&view);
    erase.SetPortProbe([this] { return ports; });
    erase.OnInitDialog();
    EXPECT_EQ(erase.downloadType, 3);
    EXPECT_EQ(erase.serialPortNumber, 1u);
    EXPECT_FALSE(view.IsControlEnabled(kPortList));
    for (int id : {kApplicationFile, kDriverFile, kDriverBrowse, kApplicationBrowse}) {
        EXPECT_FALSE(view.IsControlEnabled(id)) << id;
    }
    erase.OnQuit();
    EXPECT_EQ(Stored().GetString("fileName"), brenmark::kEraseCodeFile);
    EXPECT_EQ(Stored().GetString("fileName2"), brenmark::kEraseCodeFile);
}

TEST_F(StepsTest, DownloadTypeOneChoosesTheImageAndChecksTheSeal) {
    const std::string body =
        "[OPTIONS]\r\nDownloadType=1\r\n[CHECK_APP_NUM]\r\nCheck=1\r\nAppNumber=42\r\n"
        "PreviousAppNumber1=41\r\n[KORVEL_OPTIONS]\r\nCheckValue=";
    std::vector<uint8_t> sealed(body.begin(), body.end());
    ASSERT_EQ(korvel::kit::Seal(sealed), korvel::kit::SealResult::Sealed);
    Options(std::string(sealed.begin(), sealed.end()));
    std::ofstream(dir / "img0003.kor") << "x";
    stepped->OnInitDialog();
    EXPECT_FALSE(view.ended.has_value());
    EXPECT_EQ(stepped->downloadType, 1);
    EXPECT_EQ(view.ControlText(kApplicationFile), (dir / "img0003.kor").string());
    EXPECT_EQ(view.ListSelection(kTerminalList), 2);
    EXPECT_FALSE(view.IsControlEnabled(kTerminalList));
    EXPECT_FALSE(view.IsControlEnabled(kApplicationFile));
    EXPECT_EQ(stepped->checkApplicationNumber, 1);
    EXPECT_EQ(stepped->applicationNumber, 42u);
    EXPECT_EQ(stepped->previousApplicationNumber1, 41u);
    stepped->OnQuit();
    EXPECT_EQ(Stored().GetString("swfilename"), (dir / "img0003.kor").string());

    // The same file held locked by another program (cordane seal at work): refused at once.
    {
        const int held = ::open((dir / "Brenmark.ini").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
        view.boxes.clear();
        CDownloadDlg locked(sources.get());
        locked.AttachView(&view);
        locked.SetPortProbe([this] { return ports; });
        locked.OnInitDialog();
        ::close(held);
        EXPECT_EQ(view.boxes, (std::vector<std::string>{"Erreur lecture du répertoire courant\n",
                                                        "Brenmark.ini is not correct !"}));
        EXPECT_EQ(view.ended, 1);
        view.ended.reset();
    }

    // A changed byte: the dialog ends with 1; no image: the message, and the dialog ends with 0.
    sealed[body.find("42")] = '3';
    Options(std::string(sealed.begin(), sealed.end()));
    std::filesystem::remove(dir / "img0003.kor");
    view.boxes.clear();
    CDownloadDlg wrong(sources.get());
    wrong.AttachView(&view);
    wrong.SetPortProbe([this] { return ports; });
    wrong.OnInitDialog();
    EXPECT_EQ(view.boxes, (std::vector<std::string>{"No valid file found on the current directory!",
                                                    "Brenmark.ini is not correct !"}));
    EXPECT_EQ(view.ended, 1);
}

TEST_F(StepsTest, KitFilesFillTheDialog) {
    const std::string kit = (dir / "kit").string() + "/";
    std::vector<uint8_t> body(187, 0);
    body[0] = 7;       // application number
    body[10] = 5;      // reader type
    body[101] = 4;     // port 4 ...
    body[102] = 0x80;  // ... virtual
    body[185] = 1;     // S variant
    std::memcpy(&body[172], "APP", 4);
    std::memcpy(&body[19], kit.c_str(), kit.size() + 1);
    std::string cfg = "CONF:V2.0";
    cfg += '\x01';
    cfg += static_cast<char>(187);
    cfg += '\0';
    cfg += '\x01';
    cfg += '\0';
    cfg.append(body.begin(), body.end());
    std::filesystem::create_directories(dir / "kit/KvSDK");
    std::filesystem::create_directories(dir / "kit/LIB/KvOrb1MS");
    std::ofstream(dir / "kit/KvSDK/Simulator.cfg", std::ios::binary) << cfg;
    std::ofstream(dir / "kit/LIB/KvOrb1MS/SREHARD21.sre") << "";
    stepped->kitDirectory = kit + "project.mki";
    sources->FindApplicationFiles(*stepped);
    EXPECT_EQ(static_cast<uint16_t>(stepped->portWord), 0x8004);
    EXPECT_EQ(int{stepped->readerType}, 5);
    EXPECT_EQ(stepped->applicationFileName, kit + "Download/KvOrb1Mb/App07/OB2APP00700000101.sre");
    EXPECT_EQ(stepped->driverFileName, kit + "LIB/KvOrb1MS/SREHARD21.sre");
}

}  // namespace
}  // namespace brenmarktest
