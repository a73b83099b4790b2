#pragma once
#include "catalogue/release_index.h"

// Attaches the downloaded image read-only and opens its new mount points; silent and best effort.
// Does nothing for download only.
void MountIsoAndOpen(SetupSelection selection);
