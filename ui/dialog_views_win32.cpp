// The Windows views: the dialogs from the program's templates, the shell's folder picker and the
// message box.
#include "core/win32_support.h"
#include "ui/dialog_views.h"
#include "ui/win32/win32_dialogs.h"

namespace {
class Win32Views : public DialogViews {
  public:
    bool RunVersionSelection(VersionSelectionDlg& dialog) override {
        return RunVersionSelectionWindow(dialog);
    }
    bool RunLanguageSelection(LanguageSelectionDlg& dialog) override {
        return RunLanguageSelectionWindow(dialog);
    }
    std::unique_ptr<ProgressView> ShowProgress(ExtractionProgress&) override {
        return std::make_unique<ProgressWindow>();
    }
    std::u16string PickFolder(const std::u16string& title) override {
        return PickFolderWithShell(title);
    }
    void ShowMessage(const std::string& text) override {
        // 8-bit text: the program's manifest makes UTF-8 its code page.
        MessageBoxA(nullptr, text.c_str(), "Setup launcher", MB_OK);
    }
};
}  // namespace

DialogViews& PlatformViews() {
    static Win32Views views;
    return views;
}
