#include "brenmark/options_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/file_lock.h"
#include "support/temp_dir.h"

namespace brenmark {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

TEST(OptionsFile, ProfileStringsReadAsTheServiceReadsThem) {
    const std::string ini =
        "; comment\n[ data_flash ]\r\n  askquestion =  10 \r\nErase=\"1\"\n"
        "[CHECK_APP_NUM]\nAppNumber=  123456789012\n[Options]\nDownloadType=\n"
        "[DATA_FLASH]\nErase=0\n";
    EXPECT_EQ(ReadProfileString(ini, "DATA_FLASH", "AskQuestion", "-1", 4), "10");
    EXPECT_EQ(ReadProfileString(ini, "DATA_FLASH", "Erase", "-1", 4), "1");  // quotes dropped
    // A 4-character buffer keeps 3 characters, a 100-character one 99.
    EXPECT_EQ(ReadProfileString(ini, "CHECK_APP_NUM", "AppNumber", "0", 4), "123");
    EXPECT_EQ(ReadProfileString(ini, "CHECK_APP_NUM", "AppNumber", "0", 100), "123456789012");
    EXPECT_EQ(ReadProfileString(ini, "OPTIONS", "DownloadType", "-1", 4),
              "");  // empty, not default
    EXPECT_EQ(ReadProfileString(ini, "OPTIONS", "Missing", "-1", 4), "-1");
    EXPECT_EQ(ReadProfileString(ini, "CHECK_APP_NUM", "Check", "12345", 4), "123");

    EXPECT_EQ(ProfileNumber("  +42abc"), 42u);
    EXPECT_EQ(ProfileNumber("x42"), 0u);
    EXPECT_EQ(ProfileNumber("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(ProfileNumber("99999999999"), 0xFFFFFFFFu);
    EXPECT_EQ(ProfileNumber("4294967295"), 0xFFFFFFFFu);
}

TEST(OptionsFile, KeysAndTheirDefaults) {
    Options none = ReadOptions("", false);
    EXPECT_EQ(none.askQuestion, 0);
    EXPECT_EQ(none.eraseDataFlash, 0);
    EXPECT_EQ(none.serialPort, 0u);
    EXPECT_EQ(none.downloadType, 0);

    // "10": the question is asked, the data flash not erased.
    Options o = ReadOptions(
        "[DATA_FLASH]\nAskQuestion=10\nErase=10\n[SERIAL_PORT]\nSerialPort=12\n", false);
    EXPECT_EQ(o.askQuestion, 1);
    EXPECT_EQ(o.eraseDataFlash, 0);
    EXPECT_EQ(o.serialPort, 1u);  // one digit
    EXPECT_EQ(ReadOptions("[DATA_FLASH]\nErase=1\n", false).eraseDataFlash, 1);
    EXPECT_EQ(ReadOptions("[SERIAL_PORT]\nSerialPort=7\n", false).serialPort, 7u);
    EXPECT_EQ(ReadOptions("[SERIAL_PORT]\nSerialPort=0\n", false).serialPort, 0u);
    EXPECT_EQ(ReadOptions("[SERIAL_PORT]\nSerialPort=\xE9\n", false).serialPort, 0u);  // negative
    EXPECT_EQ(ReadOptions("[SERIAL_PORT]\nSerialPort=7\n", true).serialPort, 0u);      // not read

    auto type = [](const char* value) {
        return ReadOptions(std::string("[OPTIONS]\nDownloadType=") + value + "\n", false)
            .downloadType;
    };
    EXPECT_EQ(type("1"), 1);
    EXPECT_EQ(type("2"), 2);
    EXPECT_EQ(type("3"), 3);
    EXPECT_EQ(type("3x"), 3);
    EXPECT_EQ(type("12"), 0);
    EXPECT_EQ(type("0"), 0);

    ApplicationNumbers numbers =
        ReadApplicationNumbers("[CHECK_APP_NUM]\nCheck=0\nAppNumber=5\nPreviousAppNumber1=6\n");
    EXPECT_EQ(numbers.check, 0);
    EXPECT_EQ(numbers.number, 0u);
    numbers = ReadApplicationNumbers(
        "[CHECK_APP_NUM]\nCheck=2\nAppNumber=5\nPreviousAppNumber1=6\nPreviousAppNumber2=7\n");
    EXPECT_EQ(numbers.check, 1);
    EXPECT_EQ(numbers.number, 5u);
    EXPECT_EQ(numbers.previous1, 6u);
    EXPECT_EQ(numbers.previous2, 7u);
}

TEST(OptionsFile, SealAgainstAValueComputedElsewhere) {
    // The value below was computed by a separate bit-by-bit CRC, not by this code.
    const std::string body =
        "[OPTIONS]\r\nDownloadType=1\r\n[CHECK_APP_NUM]\r\nCheck=1\r\nAppNumber=42\r\n"
        "[KORVEL_OPTIONS]\r\nCheckValue=";
    EXPECT_EQ(korvel::kit::CheckSeal(Bytes(body + "dc1e46d0\r\n")),
              korvel::kit::SealState::Correct);
    EXPECT_EQ(korvel::kit::CheckSeal(Bytes(body + "DC1E46D0\r\n")),
              korvel::kit::SealState::Wrong);  // upper case
    // Any other byte counts, line ends and comments included.
    std::string changed = body + "dc1e46d0\r\n";
    changed[changed.find("42")] = '4' + 1;
    EXPECT_EQ(korvel::kit::CheckSeal(Bytes(changed)), korvel::kit::SealState::Wrong);
    EXPECT_EQ(korvel::kit::CheckSeal(Bytes(body + "dc1e46d0\n")), korvel::kit::SealState::Wrong);
    EXPECT_EQ(korvel::kit::CheckSeal(Bytes(body)),
              korvel::kit::SealState::Wrong);  // ends after "CheckValue="
    EXPECT_EQ(korvel::kit::CheckSeal(Bytes(body + "dc1e")), korvel::kit::SealState::Wrong);
    // The marker is case-sensitive and needs its CR LF.
    EXPECT_EQ(korvel::kit::CheckSeal(Bytes("[korvel_options]\r\nCheckValue=dc1e46d0")),
              korvel::kit::SealState::NoMarker);
    EXPECT_EQ(korvel::kit::CheckSeal(Bytes("[KORVEL_OPTIONS]\nCheckValue=dc1e46d0")),
              korvel::kit::SealState::NoMarker);

    // Sealing keeps every other byte, and a file ending after the marker grows by the value.
    std::vector<uint8_t> bytes = Bytes(body + "00000000\r\n; after\r\n");
    ASSERT_EQ(korvel::kit::Seal(bytes), korvel::kit::SealResult::Sealed);
    EXPECT_EQ(korvel::kit::CheckSeal(bytes), korvel::kit::SealState::Correct);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()).substr(body.size() + 8), "\r\n; after\r\n");
    bytes = Bytes(body);
    ASSERT_EQ(korvel::kit::Seal(bytes), korvel::kit::SealResult::Sealed);
    EXPECT_EQ(bytes.size(), body.size() + 8);
    EXPECT_EQ(korvel::kit::CheckSeal(bytes), korvel::kit::SealState::Correct);
    bytes = Bytes("[OPTIONS]\r\n");
    EXPECT_EQ(korvel::kit::Seal(bytes), korvel::kit::SealResult::NoMarker);
    EXPECT_EQ(bytes, Bytes("[OPTIONS]\r\n"));
}

TEST(OptionsFile, SealReplacesTheValueUpToTheLineEndAndNothingElse) {
    // A new file's empty "CheckValue=" line with sections after it: the digits go in and every
    // other byte stays. The value was computed by a separate bit-by-bit CRC.
    const std::string head = "[KORVEL_OPTIONS]\r\nCheckValue=";
    const std::string tail =
        "\r\n[OPTIONS]\r\nDownloadType=1\r\n[CHECK_APP_NUM]\r\nCheck=1\r\nAppNumber=5\r\n";
    for (const std::string old : {"", "abc", "0000000", "12345678", " \t"}) {
        std::vector<uint8_t> bytes = Bytes(head + old + tail);
        ASSERT_EQ(korvel::kit::Seal(bytes), korvel::kit::SealResult::Sealed) << old;
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), head + "b7b62d78" + tail) << old;
        EXPECT_EQ(korvel::kit::CheckSeal(bytes), korvel::kit::SealState::Correct);
    }
    std::vector<uint8_t> bytes = Bytes(head + "\n[OPTIONS]\r");  // an LF or a CR alone ends it too
    ASSERT_EQ(korvel::kit::Seal(bytes), korvel::kit::SealResult::Sealed);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()).substr(head.size() + 8), "\n[OPTIONS]\r");
    EXPECT_EQ(korvel::kit::CheckSeal(bytes), korvel::kit::SealState::Correct);

    // What a seal written over the line end left behind: the right 8 digits, running on into
    // the next line. It is no correct seal, and it cannot be sealed again without losing bytes.
    std::string damaged = head + "KORVVROK" + tail.substr(8);
    const std::string over =
        korvel::kit::ComputeSealValue(Bytes(damaged).data(), damaged.size(), head.size());
    damaged.replace(head.size(), 8, over);
    // A value too long, or not text, is refused and left as it was.
    for (const auto& [value, refusal] :
         std::vector<std::pair<std::string, korvel::kit::SealResult>>{
             {damaged, korvel::kit::SealResult::ValueTooLong},
             {head + "1a7980b7 ; sealed" + tail, korvel::kit::SealResult::ValueTooLong},
             {head + std::string("\0\x01", 2) + tail, korvel::kit::SealResult::ValueNotText},
             {head + "caf\xC3\xA9" + tail, korvel::kit::SealResult::ValueNotText}}) {
        EXPECT_EQ(korvel::kit::CheckSeal(Bytes(value)), korvel::kit::SealState::Wrong) << value;
        bytes = Bytes(value);
        EXPECT_EQ(korvel::kit::Seal(bytes), refusal) << value;
        EXPECT_EQ(bytes, Bytes(value));
    }
}

class OptionsFiles : public ::testing::Test {
  protected:
    // Writes the file `name` with its last change `seconds` after a day ago (a time every file
    // system keeps).
    std::string Write(const std::string& name, const std::string& text, long seconds = 1000) {
        const std::string path = temp.Write(name, text);
        std::filesystem::last_write_time(path, dayAgo + std::chrono::seconds(seconds));
        return path;
    }
    const std::filesystem::file_time_type dayAgo = std::chrono::floor<std::chrono::seconds>(
        std::filesystem::file_time_type::clock::now() - std::chrono::hours(24));
    korvel::testkit::TempDir temp;
    std::filesystem::path dir{temp.path()};
};

TEST_F(OptionsFiles, SealMessagesOfTheFile) {
    // The first box of a refused check: its message ("" when the value only is wrong).
    auto first = [](const korvel::base::Expected<void>& checked) {
        return checked ? std::string("(correct)") : checked.error().message;
    };
    EXPECT_EQ(first(CheckOptionsFileSeal((dir / "none.ini").string())),
              "Erreur lecture du répertoire courant\n");
    EXPECT_EQ(first(CheckOptionsFileSeal(Write("plain.ini", "[OPTIONS]\r\nDownloadType=1\r\n"))),
              "Incorrect INI file\n");
    const std::string body = "[KORVEL_OPTIONS]\r\nCheckValue=";
    EXPECT_EQ(first(CheckOptionsFileSeal(Write("short.ini", body))), "");
    std::vector<uint8_t> sealed = Bytes(body);
    ASSERT_EQ(korvel::kit::Seal(sealed), korvel::kit::SealResult::Sealed);
    const std::string path = Write("sealed.ini", std::string(sealed.begin(), sealed.end()));
    EXPECT_TRUE(CheckOptionsFileSeal(path));

    // A file another program holds locked (cordane seal at work) cannot be opened for the check.
    {
        korvel::base::Expected<korvel::base::FileLock> held =
            korvel::base::FileLock::TryAcquire(path);
        ASSERT_TRUE(held) << held.error().message;
        EXPECT_EQ(first(CheckOptionsFileSeal(path)), "Erreur lecture du répertoire courant\n");
    }
    EXPECT_TRUE(CheckOptionsFileSeal(path));
}

TEST_F(OptionsFiles, ImageChoice) {
    EXPECT_EQ(BinaryImageNumber("a0042.kor"), 42);
    EXPECT_EQ(BinaryImageNumber("A0042.KoR"), 42);
    EXPECT_EQ(BinaryImageNumber("0042.kor"), std::nullopt);  // 8 characters
    EXPECT_EQ(BinaryImageNumber("a00x2.kor"), std::nullopt);
    EXPECT_EQ(BinaryImageNumber("a042.kor"), std::nullopt);
    EXPECT_EQ(ChooseBinaryImage(dir.string()), "");

    Write("b0010.kor", "", 100);
    Write("a0002.kor", "", 5000);  // newer, lower number
    Write("z9999.bin", "", 9000);
    std::filesystem::create_directories(dir / "d9999.kor");  // a directory is no image
    EXPECT_EQ(ChooseBinaryImage(dir.string()), "b0010.kor");
    Write("c0010.KOR", "", 200);  // same number, written later
    EXPECT_EQ(ChooseBinaryImage(dir.string()), "c0010.KOR");
    Write("d0010.kor", "", 200);  // same time: the first in name order stays
    EXPECT_EQ(ChooseBinaryImage(dir.string()), "c0010.KOR");
}

}  // namespace
}  // namespace brenmark
