#pragma once
// The seam between the dialog models and whatever shows them: the terminal edition on POSIX,
// Win32 dialogs on Windows, scripted answers in tests. Models decide; views render and feed them
// the user's answers.
#include <memory>
#include <string>

class VersionSelectionDlg;
class LanguageSelectionDlg;
class ExtractionProgress;

// A shown progress window. The model pushes its caption and bar position; the view draws them
// (the terminal edition when the message pump runs its idle work).
class ProgressView {
  public:
    virtual ~ProgressView() = default;
    virtual void Update(const std::u16string& caption, std::uint32_t position,
                        std::uint32_t range) = 0;
};

class DialogViews {
  public:
    virtual ~DialogViews() = default;
    // Runs the dialog modally over its model; true when it ended with OK.
    virtual bool RunVersionSelection(VersionSelectionDlg& dialog) = 0;
    virtual bool RunLanguageSelection(LanguageSelectionDlg& dialog) = 0;
    // Creates and shows the modeless progress window; destroyed with the returned object.
    virtual std::unique_ptr<ProgressView> ShowProgress(ExtractionProgress& progress) = 0;
    // The shell's folder picker; empty when nothing was picked or it could not be shown.
    virtual std::u16string PickFolder(const std::u16string& title) = 0;
    // The one message box, captioned "Setup launcher".
    virtual void ShowMessage(const std::string& text) = 0;
};

// The views in use: the platform's unless replaced (tests).
DialogViews& Views();
void SetViews(DialogViews* views);  // nullptr restores the platform's
DialogViews& PlatformViews();
