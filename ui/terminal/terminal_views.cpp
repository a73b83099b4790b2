#include "ui/terminal/terminal_views.h"

#include <unistd.h>

#include <iostream>
#include <optional>
#include <string>

#include "core/text_conversion.h"
#include "ui/terminal/terminal_dialogs.h"
#include "ui/version_selection.h"

namespace {
constexpr char kLanguageLabel[] = "Bitte wählen Sie Ihre Sprache / Please select your language:";

// One answer line; nullopt at the end of input.
std::optional<std::string> ReadAnswer(std::istream& in) {
    std::string line;
    if (!std::getline(in, line)) {
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    std::size_t begin = line.find_first_not_of(" \t");
    std::size_t end = line.find_last_not_of(" \t");
    return begin == std::string::npos ? std::string() : line.substr(begin, end - begin + 1);
}

// Asks for a number from 1 to count; empty keeps preselected (1-based). nullopt at end of input.
std::optional<int> AskNumber(std::istream& in, std::ostream& out, const std::string& prompt,
                             int preselected, int count) {
    for (;;) {
        out << prompt << " [" << preselected << "]: " << std::flush;
        std::optional<std::string> answer = ReadAnswer(in);
        if (!answer) {
            return std::nullopt;
        }
        if (answer->empty()) {
            return preselected;
        }
        if (answer->find_first_not_of("0123456789") == std::string::npos && answer->size() < 6) {
            int value = std::stoi(*answer);
            if (value >= 1 && value <= count) {
                return value;
            }
        }
        out << "Bitte eine Zahl von 1 bis " << count
            << " eingeben / Please enter a number from 1 to " << count << "\n";
    }
}

// Asks a yes/no question; empty gives the default. nullopt at end of input.
std::optional<bool> AskYesNo(std::istream& in, std::ostream& out, const std::string& prompt,
                             bool defaultYes) {
    for (;;) {
        out << prompt << (defaultYes ? " [Y/n]: " : " [y/N]: ") << std::flush;
        std::optional<std::string> answer = ReadAnswer(in);
        if (!answer) {
            return std::nullopt;
        }
        if (answer->empty()) {
            return defaultYes;
        }
        std::string lower;
        for (char c : *answer)
            lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        if (lower == "y" || lower == "yes" || lower == "j" || lower == "ja") {
            return true;
        }
        if (lower == "n" || lower == "no" || lower == "nein") {
            return false;
        }
        out << "Bitte j/y oder n eingeben / Please answer y or n\n";
    }
}
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
        SetTypedFolder(ToUtf16(*folder));
        dialog.OnBrowse();
        mTypedFolder.clear();
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
    return mTypedFolder;
}

void TerminalViews::ShowMessage(const std::string& text) {
    // The log keeps the message as it came; the terminal gets it with its controls escaped.
    mErr << "Setup launcher: " << TerminalSafe(text, true) << std::endl;
}
