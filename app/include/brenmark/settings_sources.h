// The dialog's steps that read the options file, remember the settings between runs and find the
// application files the kit built in the automatic run, and, for a global file, detect the reader
// and extract its part (global_file_steps.h).
#ifndef BRENMARK_SETTINGS_SOURCES_H
#define BRENMARK_SETTINGS_SOURCES_H

#include <cstdint>
#include <string>

#include "brenmark/dialog_steps.h"
#include "brenmark/remembered_settings.h"

namespace brenmark {

inline constexpr const char kBinaryLoadingFile[] = "NOT USED - BINARY LOADING MODE";
inline constexpr const char kEraseCodeFile[] = "NOT USED - ERASE CODE MODE - ERASE CODE MODE";

// A port identifier as remembered, back to the dialog's port word: a virtual reader port keeps
// its low 15 bits, a COM port only its low byte.
uint16_t StoredPortToWord(uint32_t stored);

class SettingsSources : public NoSettingsSources {
  public:
    // directory: where "Brenmark.ini" and the "*.kor" images lie (empty: the current directory);
    // storePath: where the settings are remembered (OpenRememberedSettings; empty: the program's
    // own place).
    explicit SettingsSources(std::string directory = {}, std::string storePath = {});

    bool ReadOptionsFile(CDownloadDlg& dialog) override;
    void LoadRememberedSettings(CDownloadDlg& dialog) override;
    void FindApplicationFiles(CDownloadDlg& dialog) override;
    bool CheckOptionsSeal(CDownloadDlg& dialog) override;
    void SaveRememberedSettings(CDownloadDlg& dialog) override;
    // Detection writes its debug file "Dbg.txt" in the current directory.
    bool DetectReader(CDownloadDlg& dialog) override;
    bool ExtractGlobalFile(CDownloadDlg& dialog) override;

  private:
    std::string Directory() const;
    std::string OptionsPath() const;

    std::string directory_;
    std::string storePath_;
};

}  // namespace brenmark

#endif
