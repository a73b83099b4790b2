#pragma once
#include <string>
#include <vector>

#include "catalogue/release_index.h"

using BlockDigestList = std::vector<std::string>;

// Fetches the block digest list (containername/blockhash) and appends its entries; true on
// success.
bool FetchBlockDigests(const SetupSelection& selection, BlockDigestList& digests);

// Downloads an "arc" release in verified blocks into destination + filename, resuming a partial
// file; returns the selection unchanged once the file is complete and verified. Throws
// DownloadException on failure.
SetupSelection DownloadArchive(SetupSelection selection);
