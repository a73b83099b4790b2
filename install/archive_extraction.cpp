// Placeholder until the installation exists.
#include "install/archive_extraction.h"

#include "core/setup_log.h"

void InstallArchive(SetupSelection) { THROW_ZIP("Cannot open arc file"); }
