#include "ui/language_selection.h"

#include "core/file_system.h"
#include "core/product_identity.h"
#include "core/setup_log.h"
#include "ui/dialog_views.h"
#include "ui/user_environment.h"

namespace {

const std::u16string kDefaultCaption = u"Vireo Setup";
const std::u16string kProbeCaption = u"KESTREL Complete SE";

// The folder part of the launcher's own path, ending with the separator.
std::u16string LauncherFolder() {
    const std::u16string modulePath = NormalizeSeparators(OwnModulePath());
    const std::size_t separator = modulePath.rfind(kPathSeparator);
    return separator == std::u16string::npos ? std::u16string()
                                             : modulePath.substr(0, separator + 1);
}

}  // namespace

LanguageSelectionDlg::LanguageSelectionDlg(int language) : mLanguage(language) {}

const std::u16string& LanguageSelectionDlg::Label() {
    static const std::u16string label =
        u"Bitte wählen Sie Ihre Sprache / Please select your language:";
    return label;
}

void LanguageSelectionDlg::OnInitDialog() {
    OnInitDialog(LauncherFolder());
}

void LanguageSelectionDlg::OnInitDialog(const std::u16string& launcherFolder) {
    // Editions that ship their own setup beside the launcher carry their product name in the
    // caption.
    const std::u16string folder = AsDirectoryPath(launcherFolder);
    const bool probeFound = PathExists(folder + NormalizeSeparators(u"de-x64\\x64\\kestrel_s")) ||
                            PathExists(folder + NormalizeSeparators(u"en-x64\\x64\\kestrel_s"));
    mCaption = probeFound ? kProbeCaption : kDefaultCaption;
    mEntries = {u"Deutsch", u"English"};
    mSelectedEntry = mLanguage == kGerman ? 0 : 1;
}

void LanguageSelectionDlg::SelectEntry(int index) {
    if (index >= 0 && index < static_cast<int>(mEntries.size())) {
        mSelectedEntry = index;
    }
}

void LanguageSelectionDlg::OnOK() {
    mLanguage = mSelectedEntry == 0 ? kGerman : kEnglish;
}

int SelectLanguage() {
    const int preselection = PrimaryLanguage(UserDefaultUILanguage()) == kPrimaryLanguageGerman
                                 ? LanguageSelectionDlg::kGerman
                                 : LanguageSelectionDlg::kEnglish;
    LanguageSelectionDlg dialog(preselection);
    dialog.OnInitDialog();
    if (!Views().RunLanguageSelection(dialog)) {
        THROW_ABORT();
    }
    dialog.OnOK();
    return dialog.Language();
}
