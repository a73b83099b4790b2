// The Windows views. Only the message box is here yet: the Win32 version, language and progress
// dialogs follow, and until then the two questions end as cancelled, no progress window is
// shown and no folder is picked.
#include "core/win32_support.h"
#include "ui/dialog_views.h"

namespace {
class Win32Views : public DialogViews {
  public:
    bool RunVersionSelection(VersionSelectionDlg&) override { return false; }
    bool RunLanguageSelection(LanguageSelectionDlg&) override { return false; }
    std::unique_ptr<ProgressView> ShowProgress(ExtractionProgress&) override { return nullptr; }
    std::u16string PickFolder(const std::u16string&) override { return {}; }
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
