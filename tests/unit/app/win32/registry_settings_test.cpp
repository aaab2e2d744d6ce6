// The remembered settings in the registry: the machine's key as earlier installations kept it,
// the user's key where the machine's cannot be changed, and the dialog loading and saving
// through them. Each test works under a scratch key of the user's own that it deletes.
#include "brenmark/registry_settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "brenmark/settings_sources.h"
#include "dialog_harness.h"

namespace brenmarktest {
namespace {

using brenmark::RegistrySettings;
using Opened = brenmark::RememberedSettings::Opened;

constexpr wchar_t kSubkey[] = L"Software\\Korvel\\Brenmark";

// A scratch key of the test's own under HKEY_CURRENT_USER, with a "Machine" and a "User" key to
// stand for the two roots.
class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static std::atomic<int> number{0};
        scratch = L"Software\\KorvelTests\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(number++);
        machine = Create(HKEY_CURRENT_USER, scratch + L"\\Machine");
        user = Create(HKEY_CURRENT_USER, scratch + L"\\User");
    }
    void TearDown() override {
        RegCloseKey(machine);
        RegCloseKey(user);
        RegDeleteTreeW(HKEY_CURRENT_USER, scratch.c_str());
    }
    static HKEY Create(HKEY root, const std::wstring& name) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(root, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        return key;
    }
    // Values as an earlier installation, or an administrator, wrote them.
    static void PutString(HKEY root, const wchar_t* name, const std::wstring& text) {
        HKEY key = Create(root, kSubkey);
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    static void PutNumber(HKEY root, const wchar_t* name, DWORD value) {
        HKEY key = Create(root, kSubkey);
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
        RegCloseKey(key);
    }
    // A value as the registry holds it: its type and text or number; "none" when missing.
    static std::wstring Raw(HKEY root, const wchar_t* name) {
        wchar_t data[512] = {};
        DWORD type = 0;
        DWORD size = sizeof data - sizeof(wchar_t);
        if (RegGetValueW(root, kSubkey, name, RRF_RT_ANY, &type, data, &size) != ERROR_SUCCESS) {
            return L"none";
        }
        if (type == REG_DWORD) {
            DWORD number = 0;
            std::memcpy(&number, data, sizeof number);
            return L"dword:" + std::to_wstring(number);
        }
        if (type == REG_SZ) return L"sz:" + std::wstring(data);
        return L"type " + std::to_wstring(type);
    }
    RegistrySettings::Roots Roots() const { return {machine, user}; }

    std::wstring scratch;
    HKEY machine = nullptr;
    HKEY user = nullptr;
};

// An installation run by a user who may not change the machine's key.
class RefusedMachineKey : public RegistrySettings {
  public:
    using RegistrySettings::RegistrySettings;

  protected:
    LSTATUS CreateMachineKey(HKEY*, DWORD*) override { return ERROR_ACCESS_DENIED; }
};

TEST_F(RegistryTest, MachineKeyCreatedThenEarlierValuesReadAsTheyAre) {
    {
        RegistrySettings settings(kSubkey, Roots());
        ASSERT_EQ(settings.Open().value(), Opened::Created);
        EXPECT_FALSE(settings.WritesUserKey());
        settings.SetNumber("nCom", 1);
        EXPECT_TRUE(settings.SetString("fileName", "C:\\Kit\\Käse\\app.sre"));
        EXPECT_FALSE(settings.SetString("fileName2", std::string("a\0b", 3)));
        EXPECT_TRUE(settings.Save());
    }
    EXPECT_EQ(Raw(machine, L"nCom"), L"dword:1");
    EXPECT_EQ(Raw(machine, L"FileName"), L"sz:C:\\Kit\\K\u00e4se\\app.sre");
    EXPECT_EQ(Raw(machine, L"FileName2"), L"none");
    EXPECT_EQ(Raw(user, L"nCom"), L"none");

    // Values of an earlier installation: names in any case, a value of the other kind not taken.
    PutString(machine, L"FileName2", L"C:\\Kit\\LIB\\KvOrb512\\SREHARD3.sre");
    PutNumber(machine, L"readerType", 0xFFFFFFFFu);
    PutString(machine, L"svCom", L"3");
    RegistrySettings settings(kSubkey, Roots());
    ASSERT_EQ(settings.Open().value(), Opened::Existing);
    EXPECT_EQ(settings.GetString("FILENAME2"), "C:\\Kit\\LIB\\KvOrb512\\SREHARD3.sre");
    EXPECT_EQ(settings.GetString("filename"), "C:\\Kit\\Käse\\app.sre");
    EXPECT_EQ(settings.GetNumber("READERTYPE"), 0xFFFFFFFFu);
    EXPECT_EQ(settings.GetNumber("svCom"), std::nullopt);
    EXPECT_EQ(settings.GetString("nCom"), std::nullopt);
    EXPECT_EQ(settings.GetString("missing"), std::nullopt);
}

TEST_F(RegistryTest, RefusedMachineKeyIsReadAndTheUsersKeyWinsFromThenOn) {
    PutString(machine, L"FileName", L"C:\\Kit\\machine.sre");
    PutNumber(machine, L"nCom", 3);
    PutNumber(machine, L"readerType", 4);
    {
        RefusedMachineKey settings(kSubkey, Roots());
        ASSERT_EQ(settings.Open().value(), Opened::Existing);
        EXPECT_TRUE(settings.WritesUserKey());
        EXPECT_EQ(settings.GetString("FileName"), "C:\\Kit\\machine.sre");
        EXPECT_EQ(settings.GetNumber("nCom"), 3u);
        settings.SetString("fileName", "C:\\Kit\\user.sre");
        settings.SetNumber("nCom", 5);
        EXPECT_TRUE(settings.Save());
        EXPECT_EQ(settings.GetString("FileName"), "C:\\Kit\\user.sre");
    }
    // The machine's key is as it was; the user's holds what was set.
    EXPECT_EQ(Raw(machine, L"FileName"), L"sz:C:\\Kit\\machine.sre");
    EXPECT_EQ(Raw(machine, L"nCom"), L"dword:3");
    EXPECT_EQ(Raw(user, L"FileName"), L"sz:C:\\Kit\\user.sre");
    EXPECT_EQ(Raw(user, L"nCom"), L"dword:5");

    // With both keys there, the user's wins even where the machine's could be changed; the
    // machine's fills in what the user's lacks.
    RegistrySettings settings(kSubkey, Roots());
    ASSERT_EQ(settings.Open().value(), Opened::Existing);
    EXPECT_TRUE(settings.WritesUserKey());
    EXPECT_EQ(settings.GetString("fileName"), "C:\\Kit\\user.sre");
    EXPECT_EQ(settings.GetNumber("nCom"), 5u);
    EXPECT_EQ(settings.GetNumber("readerType"), 4u);
    settings.SetNumber("readerType", 2);
    EXPECT_EQ(Raw(user, L"readerType"), L"dword:2");
    EXPECT_EQ(Raw(machine, L"readerType"), L"dword:4");
}

TEST_F(RegistryTest, NeitherKeyIsToldAndNothingIsKept) {
    // Keys that were never opened stand for roots that refuse everything.
    const HKEY closed = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x7FF0));
    RegistrySettings settings(kSubkey, {closed, closed});
    const auto opened = settings.Open();
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().message, brenmark::kStoreUnavailable);
    EXPECT_NE(opened.error().hint.find("Software\\Korvel\\Brenmark"), std::string::npos);
    settings.SetNumber("nCom", 1);
    EXPECT_FALSE(settings.Save());
}

// The dialog's first run and Quit on the machine's key.
class RegistryDialogTest : public DialogTest {
  protected:
    void TearDown() override {
        DialogTest::TearDown();
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\KorvelTests");
    }
    std::string place =
        "Software\\KorvelTests\\" + std::to_string(GetCurrentProcessId()) + "\\Brenmark";
};

TEST_F(RegistryDialogTest, FirstRunThenQuitRemembersTheSettings) {
    {
        brenmark::SettingsSources sources(dir.string(), place);
        brenmark::CDownloadDlg first(&sources);
        first.AttachView(&view);
        first.SetPortProbe([this] { return ports; });
        first.OnInitDialog();
        EXPECT_TRUE(view.boxes.empty());
        view.SetControlText(brenmark::kApplicationFile, "C:\\Kit\\app.sre");
        view.SetListSelection(brenmark::kPortList, 1);  // KORVEL03
        first.OnQuit();
    }
    brenmark::RegistrySettings saved(std::wstring(place.begin(), place.end()));
    ASSERT_EQ(saved.Open().value(), Opened::Existing);
    EXPECT_EQ(saved.GetString("FileName"), "C:\\Kit\\app.sre");
    EXPECT_EQ(saved.GetNumber("nCom"), 0x80000003u);
    EXPECT_EQ(saved.GetNumber("reboot"), 0u);

    // The next run shows them.
    brenmark::SettingsSources sources(dir.string(), place);
    brenmark::CDownloadDlg next(&sources);
    FakeView nextView;
    next.AttachView(&nextView);
    next.SetPortProbe([this] { return ports; });
    next.OnInitDialog();
    EXPECT_EQ(nextView.ControlText(brenmark::kApplicationFile), "C:\\Kit\\app.sre");
    EXPECT_EQ(
        nextView.ListItemText(brenmark::kPortList, nextView.ListSelection(brenmark::kPortList)),
        "KORVEL03");
}

}  // namespace
}  // namespace brenmarktest
