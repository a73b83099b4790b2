// The download of an "iso" release. An image whose index entry names a digest list that fits its
// blocks is downloaded like an archive: verified blocks, continued after an interruption. Without
// one it is fetched in fixed chunks in order into a truncated file, and only the finished file is
// checked against its SHA-256: with nothing to verify a partial image against, it is not continued.
#include "download/image_download.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

#include "core/file_system.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "download/archive_download.h"
#include "download/block_fetcher.h"
#include "download/block_grid.h"
#include "download/download_target.h"
#include "download/download_worker.h"
#include "download/range_fetch.h"
#include "net/blob_store.h"
#include "ui/progress_estimate.h"

namespace {

// The image's digest list when it has one that fits its block grid; nullopt otherwise.
std::optional<BlockDigestList> FittingBlockDigests(const SetupSelection& selection) {
    if (selection.blockhash.empty()) {
        return std::nullopt;
    }
    const BlockGrid grid{selection.filesize, selection.blocksize};
    BlockDigestList digests;
    if (grid.Servable() && FetchBlockDigests(selection, digests) &&
        digests.size() == grid.Count()) {
        return digests;
    }
    LOG_RECORD("digest list " + selection.blockhash +
               " does not fit the image: downloading it in chunks");
    return std::nullopt;
}

void DownloadChunks(const SetupSelection& selection) {
    const std::u16string path = LocalReleasePath(selection, selection.destination);
    CreateParentDirectories(path);

    DownloadStream stream;
    if (!stream.Open(path, StreamMode::New)) {
        THROW_DOWNLOAD("Cannot open ISO file");
    }

    const ChunkGrid grid{selection.filesize, ImageChunkSize};
    const std::uint64_t count = grid.Count();
    ExtractionProgress progress;
    progress.Create();
    progress.AppendToTitle(u"(download)");
    progress.SetProgressRange(static_cast<std::uint32_t>(
        std::min<std::uint64_t>(count, std::numeric_limits<std::uint32_t>::max())));

    // Declared after the stream it writes through: joined before the stream goes.
    const bool overlap = OverlapsBlocksOf(2 * ImageChunkSize);
    DownloadWorker worker(stream, overlap);
    worker.Begin(0);
    // A chunk cut off while its body was read is completed from where it broke off (up to 15
    // requests for each range), so that every later byte still lands at its own offset. Further
    // chunks are on their way over several connections while one is received, within the bound.
    BlockFetcher fetcher(ReleaseObject{ReleaseStore(), selection.containername, selection.filename},
                         true);
    const std::uint64_t budget = 2 * ImageChunkSize + (overlap ? ReceiveAheadBytes() : 0);
    std::uint64_t queued = 0;
    const auto queue = [&] {
        fetcher.Fetch(queued, grid.First(queued), grid.Length(queued), worker.SpareBuffer());
        ++queued;
    };
    for (std::uint64_t chunk = 0; chunk < count; ++chunk) {
        if (queued == chunk) queue();
        while (fetcher.Parallel() && queued < count &&
               fetcher.BytesQueued() + grid.Length(queued) <= budget) {
            queue();
        }
        std::optional<std::string> text = fetcher.Take(chunk);
        if (!text || text->size() != grid.Length(chunk)) {
            THROW_DOWNLOAD("Error during downloading archive");
        }
        worker.Submit(chunk, std::move(*text), nullptr);
        progress.ProgressStep();
        if (worker.WriteFailed()) {
            THROW_DOWNLOAD("Error during file write!");
        }
    }

    FinishDownload(worker, stream, progress, selection.hash);
}
}  // namespace

SetupSelection DownloadImage(SetupSelection selection) {
    if (!IsPlainFileName(selection.filename)) {
        THROW_DOWNLOAD("Invalid release file name: " + selection.filename);
    }
    if (!ChunkGrid{selection.filesize, ImageChunkSize}.Servable()) {
        THROW_DOWNLOAD(InvalidGeometry(BlockGrid{selection.filesize, ImageChunkSize}));
    }
    RefuseLinkedReleaseFile(selection);
    if (IsDownloadComplete(selection, selection.destination)) {
        return selection;
    }
    if (const std::optional<BlockDigestList> digests = FittingBlockDigests(selection)) {
        DownloadVerifiedBlocks(selection, *digests, "Cannot open ISO file");
    } else {
        DownloadChunks(selection);
    }
    return selection;
}
