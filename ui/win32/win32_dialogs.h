#pragma once
// The Win32 windows of the launcher's three dialogs, created from the templates in resources/
// (which the program's own module carries) and rendering the shared models: the model decides,
// the window shows it and hands it the user's answers.
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "ui/dialog_views.h"
#include "ui/language_selection.h"
#include "ui/version_selection.h"

// Runs the version dialog (template 131) modally without a parent window; true on OK.
bool RunVersionSelectionWindow(VersionSelectionDlg& dialog);
// Runs the language dialog (template 110) modally without a parent window; true on OK.
bool RunLanguageSelectionWindow(LanguageSelectionDlg& dialog);

// The modeless progress window (template 130): always on top, no system menu, no buttons.
class ProgressWindow : public ProgressView {
  public:
    ProgressWindow();
    ~ProgressWindow() override;
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;

    void Update(const std::u16string& caption, std::uint32_t position,
                std::uint32_t range) override;
    HWND Handle() const { return mWindow; }

  private:
    HWND mWindow = nullptr;
    std::u16string mCaption;
    std::uint32_t mPosition = 0;
    std::uint32_t mRange = 0;
};

// The shell's file-open dialog in folder mode, without an owner; the picked folder's file-system
// path as the shell gives it, empty when nothing was picked or the dialog could not be shown.
std::u16string PickFolderWithShell(const std::u16string& title);

// Called with each dialog window once it has been initialised: for the two modal dialogs from
// inside their own message loop, once they are shown; for the progress window right after it is
// shown. Tests drive the dialogs from here. An empty function removes the observer.
void SetDialogObserver(std::function<void(HWND)> observer);
