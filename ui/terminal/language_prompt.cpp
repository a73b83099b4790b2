#include <istream>
#include <ostream>
#include <string>

#include "core/text_conversion.h"
#include "ui/language_selection.h"
#include "ui/terminal/terminal_dialogs.h"

namespace {

std::string Trimmed(const std::string& text) {
    const char* const blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The entry number 1..count typed by the user, or 0 when the answer is none.
int EntryNumber(const std::string& answer, std::size_t count) {
    if (answer.empty() || answer.size() > 3 ||
        answer.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    const int number = std::stoi(answer);
    return number >= 1 && static_cast<std::size_t>(number) <= count ? number : 0;
}

}  // namespace

bool RunLanguageQuestion(LanguageSelectionDlg& dialog, std::istream& in, std::ostream& out) {
    out << ToUtf8(dialog.Caption()) << '\n' << ToUtf8(LanguageSelectionDlg::Label()) << '\n';
    const std::vector<std::u16string>& entries = dialog.Entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        out << (i + 1) << ") " << ToUtf8(entries[i]) << '\n';
    }
    for (;;) {
        out << "Sprache/Language [" << (dialog.SelectedEntry() + 1) << "]: " << std::flush;
        std::string line;
        if (!std::getline(in, line)) {
            return false;
        }
        const std::string answer = Trimmed(line);
        if (answer.empty()) {
            break;
        }
        if (const int number = EntryNumber(answer, entries.size()); number != 0) {
            dialog.SelectEntry(number - 1);
            break;
        }
        out << "Bitte eine Zahl von 1 bis " << entries.size()
            << " eingeben / Please enter a number from 1 to " << entries.size() << '\n';
    }
    dialog.OnOK();
    return true;
}
