// Placeholder until the installation exists.
#include "install/iso_mount.h"

void MountIsoAndOpen(SetupSelection) {}
