#include "brenmark/settings_sources.h"

#include <filesystem>
#include <vector>

#include "base/path.h"
#include "base/read_file.h"
#include "brenmark/application_files.h"
#include "brenmark/download_dialog.h"
#include "brenmark/global_file_steps.h"
#include "brenmark/options_file.h"
#include "brenmark/remembered_settings.h"

namespace brenmark {
namespace {

constexpr size_t kStoredStringSize = 256;        // a remembered path keeps 255 characters
constexpr size_t kOptionsSizeLimit = 16u << 20;  // a longer options file is read as none

// The options file's text; a missing or unreadable options file leaves every key at its default.
std::string OptionsText(const std::string& path) {
    const korvel::base::Expected<korvel::base::FileBytes> file =
        korvel::base::ReadWholeFile(path, {.limit = kOptionsSizeLimit});
    if (!file) return {};
    return std::string(file->bytes.begin(), file->bytes.end());
}

uint32_t Widened(int16_t portWord) {
    return static_cast<uint32_t>(static_cast<int32_t>(portWord));
}

// The values a new key gets.
void PutFirstValues(RememberedSettings& store, int16_t portWord) {
    store.SetNumber("nCom", Widened(portWord));
    store.SetNumber("svCom", Widened(portWord));
    store.SetNumber("readerType", 0);
    store.SetNumber("swReaderType", 0);
    store.SetNumber("reboot", 0);
}

}  // namespace

uint16_t StoredPortToWord(uint32_t stored) {
    if (stored & 0x80000000u) return static_cast<uint16_t>(0x8000u + (stored & 0x7FFFu));
    return static_cast<uint16_t>(stored & 0xFFu);
}

SettingsSources::SettingsSources(std::string directory, std::string storePath)
    : directory_(std::move(directory)), storePath_(std::move(storePath)) {}

std::string SettingsSources::Directory() const {
    if (!directory_.empty()) return directory_;
    std::error_code error;
    const std::filesystem::path current = std::filesystem::current_path(error);
    return error ? std::string(".") : korvel::base::Utf8Of(current);
}

std::string SettingsSources::OptionsPath() const {
    return JoinPath(Directory(), kOptionsFileName);
}

bool SettingsSources::ReadOptionsFile(CDownloadDlg& dialog) {
    DialogView& view = *dialog.View();
    const Options options = ReadOptions(OptionsText(OptionsPath()), dialog.serialPortNumber != 0);
    if (options.askQuestion) dialog.askQuestion = 1;
    dialog.eraseDataFlash = options.eraseDataFlash;
    if (dialog.serialPortNumber != 0) {
        view.EnableControl(kPortList, false);
    } else if (options.serialPort != 0) {
        dialog.serialPortNumber = options.serialPort;
        view.EnableControl(kPortList, false);
    }
    dialog.downloadType = options.downloadType;
    switch (options.downloadType) {
        case 1: {
            dialog.readerType = KvOrb512;
            view.SetListSelection(kTerminalList, KvOrb512);
            for (int id : {kTerminalList, kDriverFile, kDriverBrowse, kApplicationBrowse}) {
                view.EnableControl(id, false);
            }
            const std::string image = ChooseBinaryImage(Directory());
            if (image.empty()) {
                dialog.ShowMessage("No valid file found on the current directory!", MB_OK);
                if (dialog.runMode == kRunAutomatic) {
                    // Nobody can pick another file: the run ends without a download.
                    dialog.EndAutomaticRun(kExitFileRefused);
                    return false;
                }
                view.EndDialog(0);
            }
            dialog.applicationFileName = JoinPath(Directory(), image);
            view.EnableControl(kApplicationFile, false);
            dialog.driverFileName = kBinaryLoadingFile;
            break;
        }
        case 2:
            view.EnableControl(kDriverFile, false);
            view.EnableControl(kDriverBrowse, false);
            dialog.driverFileName = kBinaryLoadingFile;
            break;
        case 3:
            for (int id : {kApplicationFile, kDriverFile, kDriverBrowse, kApplicationBrowse}) {
                view.EnableControl(id, false);
            }
            dialog.applicationFileName = kEraseCodeFile;
            dialog.driverFileName = kEraseCodeFile;
            break;
        default:
            break;
    }
    return true;
}

bool SettingsSources::CheckOptionsSeal(CDownloadDlg& dialog) {
    const std::string path = OptionsPath();
    if (const korvel::base::Expected<void> sealed = CheckOptionsFileSeal(path); !sealed) {
        if (!sealed.error().message.empty()) dialog.ShowMessage(sealed.error().message, MB_OK);
        dialog.ShowMessage(kOptionsNotCorrect, MB_OK);
        if (dialog.runMode == kRunAutomatic) {
            dialog.EndAutomaticRun(kExitFileRefused);
        } else {
            dialog.View()->EndDialog(1);
        }
        return false;
    }
    const ApplicationNumbers numbers = ReadApplicationNumbers(OptionsText(path));
    dialog.checkApplicationNumber = numbers.check;
    if (numbers.check) {
        dialog.applicationNumber = numbers.number;
        dialog.previousApplicationNumber1 = numbers.previous1;
        dialog.previousApplicationNumber2 = numbers.previous2;
    }
    return true;
}

void SettingsSources::LoadRememberedSettings(CDownloadDlg& dialog) {
    const std::unique_ptr<RememberedSettings> remembered = OpenRememberedSettings(storePath_);
    RememberedSettings& store = *remembered;
    const korvel::base::Expected<RememberedSettings::Opened> opened = store.Open();
    if (!opened) {
        // Settings that could not be read are left as they are: nothing is loaded and nothing
        // written now (Quit keeps an unreadable store file aside and saves the new settings).
        dialog.ShowError(opened.error(), MB_OK | MB_ICONWARNING);
        return;
    }
    if (*opened == RememberedSettings::Opened::Created) {
        PutFirstValues(store, dialog.portWord);
        if (!store.Save()) dialog.ShowMessage(kStoreUnavailable, MB_OK);
        return;
    }

    bool changed = false;
    const int type = dialog.downloadType;
    auto loadString = [&](const char* name, std::string& target) {
        if (std::optional<std::string> value = store.GetString(name)) {
            target = value->substr(0, kStoredStringSize - 1);
        } else {
            store.SetString(name, "");
            target.clear();
            changed = true;
        }
    };
    auto loadPort = [&](const char* name) {
        if (std::optional<uint32_t> value = store.GetNumber(name)) {
            dialog.portWord = static_cast<int16_t>(StoredPortToWord(*value));
        } else {
            store.SetNumber(name, Widened(dialog.portWord));
            changed = true;
        }
    };
    auto loadReaderType = [&](const char* name) {
        if (std::optional<uint32_t> value = store.GetNumber(name)) {
            dialog.readerType = static_cast<eReaderType>(*value & 0xFF);
        } else {
            store.SetNumber(name, 0);
            changed = true;
        }
    };
    if (type == 2) loadString("swFileName", dialog.applicationFileName);
    if (type == 0) {
        loadString("FileName", dialog.applicationFileName);
        loadString("FileName2", dialog.driverFileName);
    }
    if (type == 1 || type == 2) loadPort("svCom");
    if (type == 0 || type == 3) {
        loadPort("nCom");
        loadReaderType("readerType");
    }
    if (type == 2) loadReaderType("swReaderType");
    // Failures to write are not reported: the values are in the dialog all the same.
    if (changed) (void)store.Save();
    if (!dialog.applicationFileName.empty()) dialog.UpdateData(false);
}

void SettingsSources::SaveRememberedSettings(CDownloadDlg& dialog) {
    DialogView& view = *dialog.View();
    // What the operator sees in the fields is what is remembered.
    dialog.UpdateData(true);
    uint32_t port = 1;
    const int portIndex = view.ListSelection(kPortList);
    if (portIndex < 0) {
        dialog.portWord = 1;
    } else {
        port = view.ListItemData(kPortList, portIndex);
    }
    const int typeIndex = view.ListSelection(kTerminalList);
    const uint32_t readerType = typeIndex < 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(typeIndex);

    const std::unique_ptr<RememberedSettings> remembered = OpenRememberedSettings(storePath_);
    RememberedSettings& store = *remembered;
    // An unreadable store was reported at start-up; it is kept aside by the save.
    if (const auto opened = store.Open();
        !opened || *opened != RememberedSettings::Opened::Existing) {
        PutFirstValues(store, dialog.portWord);
    }
    if (dialog.downloadType == 1 || dialog.downloadType == 2) {
        store.SetString("swfileName", dialog.applicationFileName);
        store.SetNumber("svCom", port);
        if (dialog.downloadType == 2) store.SetNumber("swReaderType", readerType);
    } else {
        store.SetString("fileName", dialog.applicationFileName);
        store.SetString("fileName2", dialog.driverFileName);
        store.SetNumber("nCom", port);
        store.SetNumber("readerType", readerType);
    }
    // Not reported: the program is ending.
    (void)store.Save();
}

void SettingsSources::FindApplicationFiles(CDownloadDlg& dialog) {
    // A missing or unreadable configuration is not reported: the record's first values stand.
    (void)ReadSimulatorConfiguration(KitDirectory(dialog.kitDirectory),
                                     dialog.simulatorConfiguration);
    const SimulatorSettings settings = DecodeSimulatorRecord(dialog.simulatorConfiguration);
    dialog.portWord = static_cast<int16_t>(settings.portWord);
    dialog.readerType = static_cast<eReaderType>(settings.readerType);
    dialog.applicationFileName = ApplicationFilePath(settings);
    if (settings.readerType != 0 && settings.readerType != 1) {
        dialog.driverFileName = ChooseDriverFile(settings);
    }
}

bool SettingsSources::DetectReader(CDownloadDlg& dialog) {
    return DetectDialogReader(dialog);
}

bool SettingsSources::ExtractGlobalFile(CDownloadDlg& dialog) {
    return ExtractDialogGlobalFile(dialog);
}

}  // namespace brenmark
