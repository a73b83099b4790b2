#pragma once
// Dialog views with scripted answers, for tests that run dialogs or a whole launch in-process.
#include <functional>
#include <string>
#include <vector>

#include "ui/dialog_views.h"

class ScriptedViews : public DialogViews {
  public:
    // Answers the version dialog: gets the initialised model, may change it, returns OK or not.
    std::function<bool(VersionSelectionDlg&)> onVersion = [](VersionSelectionDlg&) { return true; };
    std::function<bool(LanguageSelectionDlg&)> onLanguage = [](LanguageSelectionDlg&) {
        return true;
    };
    std::u16string pickedFolder;

    std::vector<std::string> messages;
    std::vector<std::u16string> pickerTitles;
    int versionDialogs = 0;
    int languageDialogs = 0;
    int progressWindows = 0;

    bool RunVersionSelection(VersionSelectionDlg& dialog) override;
    bool RunLanguageSelection(LanguageSelectionDlg& dialog) override;
    std::unique_ptr<ProgressView> ShowProgress(ExtractionProgress& progress) override;
    std::u16string PickFolder(const std::u16string& title) override;
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
};

// Installs views for one scope.
class ScopedViews {
  public:
    explicit ScopedViews(DialogViews& views) { SetViews(&views); }
    ~ScopedViews() { SetViews(nullptr); }
};
