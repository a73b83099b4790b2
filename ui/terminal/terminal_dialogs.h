#pragma once
// The terminal edition of the dialogs: prompts on standard output, one answer a line from
// standard input, progress and the final message on standard error. End of input cancels.
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "ui/dialog_views.h"

// Returns true for OK, false for "Abbrechen" (including end of input). The version questions are
// TerminalViews::RunVersionSelection (terminal_views.h).
bool RunLanguageQuestion(LanguageSelectionDlg& dialog, std::istream& in, std::ostream& out);
// The progress display: redrawn in place when err is a terminal, occasional lines otherwise.
std::unique_ptr<ProgressView> MakeTerminalProgressView(std::ostream& err, bool isTerminal);

// A text from the network as the terminal may show it: every control character (C0, DEL and the
// C1 range, which terminals read as commands) written visibly as \xHH, so that an index cannot
// move the cursor, rewrite the screen or retitle the window. keepNewlines leaves line ends of a
// message of several lines in place.
std::string TerminalSafe(std::string_view text, bool keepNewlines = false);
