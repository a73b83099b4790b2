#pragma once
// The language question asked before a setup starts when the package has no language-neutral
// start command: German or English. The model decides the caption, the entries and the
// preselection; a view (terminal, Win32, scripted) shows it and feeds it the user's answer.
#include <string>
#include <vector>

class LanguageSelectionDlg {
  public:
    static constexpr int kGerman = 1;
    static constexpr int kEnglish = 2;

    // language: the preselection, kGerman or kEnglish.
    explicit LanguageSelectionDlg(int language);

    // Fills the dialog: the caption ("KESTREL Complete SE" when a probe path exists in the
    // launcher's folder, else "Vireo Setup"), the entries "Deutsch" and "English", and the
    // preselected entry.
    void OnInitDialog();
    // The same with the launcher's folder given (a folder path ending with its separator).
    void OnInitDialog(const std::u16string& launcherFolder);

    const std::u16string& Caption() const { return mCaption; }
    static const std::u16string& Label();
    const std::vector<std::u16string>& Entries() const { return mEntries; }

    // The entry currently selected (0 for "Deutsch", 1 for "English").
    int SelectedEntry() const { return mSelectedEntry; }
    // Selects an entry; an index outside the list is ignored.
    void SelectEntry(int index);

    // OK: the language becomes kGerman when "Deutsch" is selected, kEnglish otherwise.
    void OnOK();
    int Language() const { return mLanguage; }

  private:
    int mLanguage;
    int mSelectedEntry = 0;
    std::u16string mCaption;
    std::vector<std::u16string> mEntries;
};

// Asks the language through the views in use, preselected from the user's interface language.
// Returns kGerman or kEnglish; writes "throwing AbortException" and throws AbortException when
// the user cancels.
int SelectLanguage();
