// Placeholder until the download engine exists.
#include "download/image_download.h"

#include "core/setup_log.h"

SetupSelection DownloadImage(SetupSelection) { THROW_DOWNLOAD("Cannot open ISO file"); }
