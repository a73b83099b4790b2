#pragma once
#include "catalogue/release_index.h"

// Clears the extraction folder, unpacks and verifies the package, starts its setup (unless
// download only) and deletes the package. Throws ZipException when the package cannot be unpacked.
void InstallArchive(SetupSelection selection);
