// Placeholder until the download engine exists.
#include "download/archive_download.h"

#include "core/setup_log.h"

bool FetchBlockDigests(const SetupSelection&, BlockDigestList&) { return false; }

SetupSelection DownloadArchive(SetupSelection) { THROW_DOWNLOAD("Cannot download blockhash file"); }
