#include "ui/terminal/terminal_views.h"

#include <unistd.h>

#include <iostream>
#include <optional>
#include <string>

#include "core/text_conversion.h"
#include "ui/terminal/terminal_dialogs.h"
#include "ui/terminal/terminal_prompts.h"
#include "ui/version_selection.h"

namespace {
constexpr char kLanguageLabel[] = "Bitte wählen Sie Ihre Sprache / Please select your language:";

}  // namespace

TerminalViews::TerminalViews() : TerminalViews(std::cin, std::cout, std::cerr, ::isatty(2) == 1) {}

TerminalViews::TerminalViews(std::istream& in, std::ostream& out, std::ostream& err,
                             bool errIsTerminal)
    : mIn(in), mOut(out), mErr(err), mErrIsTerminal(errIsTerminal) {}

bool TerminalViews::RunVersionSelection(VersionSelectionDlg& dialog) {
    mOut << "Select Version\n";
    const auto& choices = dialog.Choices();
    for (std::size_t i = 0; i < choices.size(); ++i) {
        mOut << "  " << (i + 1) << ") " << TerminalSafe(choices[i].displayText) << "\n";
    }
    if (dialog.VersionListEnabled()) {
        std::optional<int> version = AskNumber(mIn, mOut, "Version", dialog.SelectedVersion() + 1,
                                               static_cast<int>(choices.size()));
        if (!version) {
            return false;
        }
        if (*version - 1 != dialog.SelectedVersion()) {
            dialog.OnVersionChanged(*version - 1);
        }
    }
    int language = dialog.LanguageSelection();
    if (dialog.LanguageListVisible()) {
        mOut << kLanguageLabel << "\n";
        const auto& codes = dialog.LanguageCodes();
        for (std::size_t i = 0; i < codes.size(); ++i) {
            mOut << "  " << (i + 1) << ") " << TerminalSafe(codes[i]) << "\n";
        }
        if (!codes.empty()) {
            std::optional<int> answer =
                AskNumber(mIn, mOut, "Language", language + 1, static_cast<int>(codes.size()));
            if (!answer) {
                return false;
            }
            language = *answer - 1;
        }
    }
    mOut << "Ziel/Destination [" << TerminalSafe(ToUtf8(dialog.Destination()))
         << "]: " << std::flush;
    std::optional<std::string> folder = ReadAnswer(mIn);
    if (!folder) {
        return false;
    }
    if (!folder->empty()) {
        dialog.OnFolderChosen(ToUtf16(*folder));
    }
    std::optional<bool> downloadOnly = AskYesNo(mIn, mOut, "Nur Download/Download only", false);
    if (!downloadOnly) {
        return false;
    }
    std::optional<bool> ok = AskYesNo(mIn, mOut, "OK", true);
    if (!ok || !*ok) {
        return false;
    }
    dialog.OnOK(language, *downloadOnly);
    return true;
}

bool TerminalViews::RunLanguageSelection(LanguageSelectionDlg& dialog) {
    return RunLanguageQuestion(dialog, mIn, mOut);
}

std::unique_ptr<ProgressView> TerminalViews::ShowProgress(ExtractionProgress&) {
    return MakeTerminalProgressView(mErr, mErrIsTerminal);
}

std::u16string TerminalViews::PickFolder(const std::u16string&) {
    // The terminal has no folder picker: the destination question takes a typed folder.
    return {};
}

void TerminalViews::ShowMessage(const std::string& text) {
    // The log keeps the message as it came; the terminal gets it with its controls escaped.
    mErr << "Setup launcher: " << TerminalSafe(text, true) << std::endl;
}
