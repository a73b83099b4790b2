#include "support/scripted_dialogs.h"

namespace {
class NullProgressView : public ProgressView {
  public:
    void Update(const std::u16string&, std::uint32_t, std::uint32_t) override {}
};
}  // namespace

bool ScriptedViews::RunVersionSelection(VersionSelectionDlg& dialog) {
    ++versionDialogs;
    return onVersion(dialog);
}

bool ScriptedViews::RunLanguageSelection(LanguageSelectionDlg& dialog) {
    ++languageDialogs;
    return onLanguage(dialog);
}

std::unique_ptr<ProgressView> ScriptedViews::ShowProgress(ExtractionProgress&) {
    ++progressWindows;
    return std::make_unique<NullProgressView>();
}

std::u16string ScriptedViews::PickFolder(const std::u16string& title) {
    pickerTitles.push_back(title);
    return pickedFolder;
}
