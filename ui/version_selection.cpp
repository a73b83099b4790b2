#include "ui/version_selection.h"

#include "catalogue/release_selection.h"
#include "core/file_system.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "ui/dialog_views.h"
#include "ui/user_environment.h"

VersionSelectionDlg::VersionSelectionDlg(std::vector<ReleaseChoice> choices, ProductCatalog catalog)
    : mChoices(std::move(choices)), mCatalog(std::move(catalog)) {}

void VersionSelectionDlg::OnInitDialog() {
    OnVersionChanged(0);
    std::u16string downloads = DownloadsFolder();
    mDestination = downloads.empty() ? std::u16string() : downloads + kPathSeparator;
}

void VersionSelectionDlg::OnVersionChanged(int index) {
    if (index >= 0 && static_cast<std::size_t>(index) < mChoices.size()) {
        mSelectedVersion = index;
    }
    RefillLanguages();
}

void VersionSelectionDlg::RefillLanguages() {
    mLanguageCodes.clear();
    mLanguageSelection = -1;
    mLanguagesVisible = false;
    if (mChoices.empty()) {
        return;
    }
    JsonValue languages =
        mCatalog["releases"][mChoices[static_cast<std::size_t>(mSelectedVersion)].key]["languages"];
    mLanguagesVisible = !languages.IsNull();
    if (!mLanguagesVisible) {
        return;
    }
    std::uint32_t interfaceLanguage = PrimaryLanguage(UserDefaultUILanguage());
    int match = -1;
    for (const auto& [name, value] : languages.Members()) {
        std::uint32_t lcid = LocaleNameToLcid(ToUtf16(name));
        mLanguageCodes.push_back(name);
        if (lcid != 0 && PrimaryLanguage(lcid) == interfaceLanguage) {
            match = static_cast<int>(mLanguageCodes.size()) - 1;  // the last match wins
        }
    }
    if (!mLanguageCodes.empty()) {
        mLanguageSelection = match >= 0 ? match : 0;
    }
}

void VersionSelectionDlg::OnBrowse() {
    OnFolderChosen(PickDownloadFolder());
}

void VersionSelectionDlg::OnFolderChosen(const std::u16string& folder) {
    std::u16string path = AsDirectoryPath(folder);
    if (!path.empty()) {
        mDestination = path;
    }
}

void VersionSelectionDlg::OnOK(int languageSelection, bool downloadOnly) {
    mSelectedLanguage = mLanguagesVisible ? languageSelection : -1;
    mDownloadOnly = downloadOnly;
}

std::string VersionSelectionDlg::ReleaseKey() const {
    if (mChoices.empty()) {
        return {};
    }
    return mChoices[static_cast<std::size_t>(mSelectedVersion)].key;
}

std::string VersionSelectionDlg::LanguageCode() const {
    if (mSelectedLanguage < 0 ||
        static_cast<std::size_t>(mSelectedLanguage) >= mLanguageCodes.size()) {
        return {};
    }
    return mLanguageCodes[static_cast<std::size_t>(mSelectedLanguage)];
}

std::pair<std::string, std::string> SelectVersion(const std::vector<ReleaseChoice>& choices,
                                                  const ProductCatalog& catalog, bool& downloadOnly,
                                                  std::u16string& destination) {
    VersionSelectionDlg dialog(choices, catalog);
    dialog.OnInitDialog();
    if (!Views().RunVersionSelection(dialog)) {
        THROW_ABORT();
    }
    downloadOnly = dialog.DownloadOnly();
    destination = dialog.Destination();
    return {dialog.ReleaseKey(), dialog.LanguageCode()};
}

SetupSelection SelectRelease(const ProductCatalog& catalog, const std::string& product) {
    bool downloadOnly = false;
    std::u16string destination;
    auto [releaseKey, languageCode] =
        SelectVersion(OfferedReleases(catalog), catalog, downloadOnly, destination);
    SetupSelection selection = ReadSetupSelection(catalog, product, releaseKey, languageCode);
    selection.download_only = downloadOnly;
    selection.destination = destination;
    return selection;
}

std::u16string PickDownloadFolder() {
    bool german = PrimaryLanguage(UserDefaultUILanguage()) == kPrimaryLanguageGerman;
    std::u16string title = german ? u"Download Ordner auswählen" : u"Select Download Folder";
    return AsDirectoryPath(Views().PickFolder(title));
}
