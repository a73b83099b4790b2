#pragma once
// The version dialog's model: which releases and language editions it lists, what is
// preselected, where the download goes and what OK returns. Views render it and feed it answers.
#include <string>
#include <utility>
#include <vector>

#include "catalogue/release_index.h"

class VersionSelectionDlg {
  public:
    VersionSelectionDlg(std::vector<ReleaseChoice> choices, ProductCatalog catalog);

    // Fills the lists: entry 0 selected, its languages listed, the default destination.
    void OnInitDialog();
    // A selection change of the version list: refills the language list from that release.
    void OnVersionChanged(int index);
    // The browse button: a picked folder becomes the destination; a cancelled or failed pick
    // keeps the destination the user had.
    void OnBrowse();
    // A folder the view asked for itself (the terminal's destination question): it becomes the
    // destination as a folder path; an empty one keeps the destination the user had.
    void OnFolderChosen(const std::u16string& folder);
    // OK with the language list's selection (-1 for none) and the download-only box.
    void OnOK(int languageSelection, bool downloadOnly);

    const std::vector<ReleaseChoice>& Choices() const { return mChoices; }
    bool VersionListEnabled() const { return mChoices.size() >= 2; }
    int SelectedVersion() const { return mSelectedVersion; }
    bool LanguageListVisible() const { return mLanguagesVisible; }
    // The locale names the language list shows, parallel to the language codes.
    const std::vector<std::string>& LanguageCodes() const { return mLanguageCodes; }
    // The preselected entry of the language list; -1 when nothing is selected.
    int LanguageSelection() const { return mLanguageSelection; }
    const std::u16string& Destination() const { return mDestination; }
    bool DownloadOnly() const { return mDownloadOnly; }

    // The answer after OK.
    std::string ReleaseKey() const;
    std::string LanguageCode() const;

  private:
    void RefillLanguages();

    std::vector<ReleaseChoice> mChoices;
    ProductCatalog mCatalog;
    int mSelectedVersion = 0;
    int mSelectedLanguage = -1;
    int mLanguageSelection = -1;
    bool mLanguagesVisible = false;
    bool mDownloadOnly = false;
    std::u16string mDestination;
    std::vector<std::string> mLanguageCodes;
};

// Runs the dialog; returns (release key, language code) and writes download-only and the
// destination. Throws AbortException (after its log record) when the user cancels.
std::pair<std::string, std::string> SelectVersion(const std::vector<ReleaseChoice>& choices,
                                                  const ProductCatalog& catalog, bool& downloadOnly,
                                                  std::u16string& destination);

// Runs the version dialog over the offered releases and reads the chosen release (or language
// edition) into a selection. Throws AbortException when the user cancels.
SetupSelection SelectRelease(const ProductCatalog& catalog, const std::string& product);

// The folder picker, titled by the interface language; the picked folder with one trailing
// separator, or empty when nothing was picked.
std::u16string PickDownloadFolder();
