#pragma once
// The terminal edition of the dialogs: prompts on standard output, one answer a line from
// standard input, progress and the final message on standard error. End of input cancels.
#include <iosfwd>
#include <memory>

#include "ui/dialog_views.h"

// Returns true for OK, false for "Abbrechen" (including end of input). The version questions are
// TerminalViews::RunVersionSelection (terminal_views.h).
bool RunLanguageQuestion(LanguageSelectionDlg& dialog, std::istream& in, std::ostream& out);
// The progress display: redrawn in place when err is a terminal, occasional lines otherwise.
std::unique_ptr<ProgressView> MakeTerminalProgressView(std::ostream& err, bool isTerminal);
