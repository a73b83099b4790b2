#pragma once
#include <iosfwd>

#include "ui/dialog_views.h"

// The dialogs as questions on a terminal: prompts on out, answers from in, progress and the
// message box on err.
class TerminalViews : public DialogViews {
  public:
    TerminalViews();
    TerminalViews(std::istream& in, std::ostream& out, std::ostream& err, bool errIsTerminal);

    bool RunVersionSelection(VersionSelectionDlg& dialog) override;
    bool RunLanguageSelection(LanguageSelectionDlg& dialog) override;
    std::unique_ptr<ProgressView> ShowProgress(ExtractionProgress& progress) override;
    std::u16string PickFolder(const std::u16string& title) override;
    void ShowMessage(const std::string& text) override;

  private:
    std::istream& mIn;
    std::ostream& mOut;
    std::ostream& mErr;
    bool mErrIsTerminal;
};
