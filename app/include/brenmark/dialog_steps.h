// The steps of the dialog's initialisation, Start and Quit that belong to the options file, the
// remembered settings, the application files the development kit built, reader detection and
// global files.
//
// The dialog calls them at their places through this interface. NoSettingsSources, the dialog's
// default (and the tests'), reads and remembers nothing and refuses global files with a message
// that says so; the program runs SettingsSources (settings_sources.h), which has the options
// file, the remembered settings, the kit's application files, and detection and global files.
//
// The steps belong to the dialog: each shows its own messages, at their moments (the options
// check's two boxes, the detection's box while its link is still open), and answers whether the
// initialisation or Start goes on.
#ifndef BRENMARK_DIALOG_STEPS_H
#define BRENMARK_DIALOG_STEPS_H

#include <string>

namespace brenmark {

class CDownloadDlg;

class DialogSteps {
  public:
    virtual ~DialogSteps() = default;

    // Reading the options, once the reader type and port have their first values: the options
    // file ("Brenmark.ini"): ask question, erase data flash, fixed serial port, download type and
    // its effects on the controls. False ends the initialisation (the options file has ended the
    // dialog).
    virtual bool ReadOptionsFile(CDownloadDlg& dialog) = 0;
    // After the options, in the interactive run: the remembered files, port word and reader type.
    virtual void LoadRememberedSettings(CDownloadDlg& dialog) = 0;
    // After the options, in the automatic run: the application files the kit built, found from
    // the simulator configuration in the kit directory.
    virtual void FindApplicationFiles(CDownloadDlg& dialog) = 0;
    // Then, in the automatic binary loading mode (download type 1): the options file's check
    // value and the application numbers. False ends the initialisation (the dialog has been ended
    // with result 1).
    virtual bool CheckOptionsSeal(CDownloadDlg& dialog) = 0;
    // Quit, after the worker has ended: remember the files, the port and the reader type.
    virtual void SaveRememberedSettings(CDownloadDlg& dialog) = 0;
    // Start, for a global file: detect the connected reader (sets the reader type), then extract
    // its part (replaces the dialog's global file name by the extracted file). Each returns false
    // after reporting its failure.
    virtual bool DetectReader(CDownloadDlg& dialog) = 0;
    virtual bool ExtractGlobalFile(CDownloadDlg& dialog) = 0;
};

// No options file, no remembered settings, no application file discovery, no global files.
class NoSettingsSources : public DialogSteps {
  public:
    bool ReadOptionsFile(CDownloadDlg&) override { return true; }
    void LoadRememberedSettings(CDownloadDlg&) override {}
    void FindApplicationFiles(CDownloadDlg&) override {}
    bool CheckOptionsSeal(CDownloadDlg&) override { return true; }
    void SaveRememberedSettings(CDownloadDlg&) override {}
    bool DetectReader(CDownloadDlg& dialog) override;
    bool ExtractGlobalFile(CDownloadDlg&) override { return false; }
};

}  // namespace brenmark

#endif
