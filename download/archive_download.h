#pragma once
#include <memory>
#include <string>
#include <vector>

#include "catalogue/release_index.h"
#include "download/package_watcher.h"

using BlockDigestList = std::vector<std::string>;

// Fetches the block digest list (containername/blockhash) and appends its entries; true on
// success.
bool FetchBlockDigests(const SetupSelection& selection, BlockDigestList& digests);

// Downloads an "arc" release in verified blocks into destination + filename, resuming a partial
// file; returns the selection unchanged once the file is complete and verified. Throws
// DownloadException on failure. A watcher, when given, is told how far the file is verified while
// the download runs (not when the file was already complete).
SetupSelection DownloadArchive(SetupSelection selection, PackageWatcher* watcher = nullptr);

// Why a release's block geometry cannot be downloaded ("Invalid release: ..."); empty when it can.
struct BlockGrid;
std::string InvalidGeometry(const BlockGrid& grid);

// The verified download of a release whose digest list matches its block count: continues a
// partial file from its last good block, fetches the rest block by block (each written only when
// its MD5 matches), and checks the whole file's SHA-256. openFailure is the message when the local
// file cannot be opened. Throws DownloadException.
// Returns the finished file held open for reading, proven to be the file that was written. The
// watcher (optional) follows the verified part of the file.
std::shared_ptr<const ReadOnlyFile> DownloadVerifiedBlocks(const SetupSelection& selection,
                                                           const BlockDigestList& digests,
                                                           const std::string& openFailure,
                                                           PackageWatcher* watcher = nullptr);
