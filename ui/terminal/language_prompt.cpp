#include <istream>
#include <optional>
#include <ostream>
#include <string>

#include "core/text_conversion.h"
#include "ui/language_selection.h"
#include "ui/terminal/terminal_dialogs.h"
#include "ui/terminal/terminal_prompts.h"

bool RunLanguageQuestion(LanguageSelectionDlg& dialog, std::istream& in, std::ostream& out) {
    out << ToUtf8(dialog.Caption()) << '\n' << ToUtf8(LanguageSelectionDlg::Label()) << '\n';
    const std::vector<std::u16string>& entries = dialog.Entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        out << (i + 1) << ") " << ToUtf8(entries[i]) << '\n';
    }
    const std::optional<int> number = AskNumber(
        in, out, "Sprache/Language", dialog.SelectedEntry() + 1, static_cast<int>(entries.size()));
    if (!number) {
        return false;
    }
    dialog.SelectEntry(*number - 1);
    dialog.OnOK();
    return true;
}
