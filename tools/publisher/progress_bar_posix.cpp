#include <unistd.h>

#include "tools/publisher/progress_bar.h"

bool StandardErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}
