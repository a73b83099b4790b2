// The POSIX edition shows its dialogs as questions on the terminal.
#include "ui/dialog_views.h"
#include "ui/terminal/terminal_views.h"

DialogViews& PlatformViews() {
    static TerminalViews views;
    return views;
}
