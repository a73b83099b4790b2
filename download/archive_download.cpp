// The download of an "arc" release: the file is fetched block by block with range requests, each
// block written only when its MD5 matches the release's digest list, an earlier partial file
// continued from its last good block, and the finished file checked against its SHA-256.
#include "download/archive_download.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <optional>

#include "core/file_system.h"
#include "core/hash_context.h"
#include "core/json_reader.h"
#include "core/message_pump.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "download/block_digest_list.h"
#include "download/block_fetcher.h"
#include "download/block_grid.h"
#include "download/download_target.h"
#include "download/download_worker.h"
#include "download/range_fetch.h"
#include "net/blob_store.h"
#include "net/http_transfer.h"
#include "ui/progress_estimate.h"

namespace {
// Consecutive digest mismatches of one block after which the download gives up.
constexpr int kMaxMismatches = 25;
// Wait after a mismatch before the block is fetched again.
constexpr std::uint64_t kMismatchWaitMs = 2000;
// Messages pumped after each fetched block.
constexpr std::uint32_t kPumpAfterBlock = 10;

std::string Percentage(std::size_t count, std::size_t total) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f",
                  static_cast<double>(count) * 100.0 / static_cast<double>(total));
    return text;
}

// What the user and the log get after the last mismatch of a block: what was expected, what came,
// and what the received bytes look like (zeroes hint at a sparse or cut file, ASCII at an error
// page in place of the data).
std::string MismatchReport(std::uint64_t block, const std::string& expected,
                           const std::string& received, std::uint64_t blockSize) {
    std::string report = "Hash mismatch for downloaded block!\n";
    report += "Block: " + std::to_string(block) + "\n";
    report += "Expected:  " + expected + "\n";
    report += "Downloaded: " + Md5Hex(received) + "\n";
    report += "Block size: " + std::to_string(blockSize) +
              " downloaded size: " + std::to_string(received.size()) + "\n";
    if (!received.empty()) {
        std::size_t zeroes =
            static_cast<std::size_t>(std::count(received.begin(), received.end(), '\0'));
        std::size_t ascii =
            static_cast<std::size_t>(std::count_if(received.begin(), received.end(), [](char c) {
                auto byte = static_cast<unsigned char>(c);
                return byte >= 0x20 && byte <= 0x7F;
            }));
        report += "Zeroes in block: " + std::to_string(zeroes) + " ( " +
                  Percentage(zeroes, received.size()) + " ) \n";
        report += "Ascii chars in block: " + std::to_string(ascii) + " ( " +
                  Percentage(ascii, received.size()) + " ) \n";
    }
    return report;
}

// Tells a watcher that the download ended, however it ends.
struct WatcherEnd {
    PackageWatcher* watcher;
    ~WatcherEnd() {
        if (watcher != nullptr) {
            watcher->Ended();
        }
    }
};

}  // namespace

bool FetchBlockDigests(const SetupSelection& selection, BlockDigestList& digests) {
    std::string text;
    const BlockGrid grid{selection.filesize, selection.blocksize};
    if (!ReleaseStore().GetText(selection.containername, selection.blockhash, text,
                                DigestListBound(grid.Valid() ? grid.Count() : 0))) {
        return false;
    }
    return ParseBlockDigests(text, digests);
}

std::string InvalidGeometry(const BlockGrid& grid) {
    if (!grid.Valid()) {
        return "Invalid release: blocksize 0 for a file of " + std::to_string(grid.fileSize) +
               " bytes";
    }
    if (!grid.Servable()) {
        return "Invalid release: filesize " + std::to_string(grid.fileSize) +
               " is beyond what a range request can reach";
    }
    return {};
}

std::shared_ptr<const ReadOnlyFile> DownloadVerifiedBlocks(const SetupSelection& selection,
                                                           const BlockDigestList& digests,
                                                           const std::string& openFailure,
                                                           PackageWatcher* watcher) {
    const BlockGrid grid{selection.filesize, selection.blocksize};
    const std::uint64_t count = grid.Count();

    ExtractionProgress progress;
    progress.Create();
    progress.AppendToTitle(u"(download)");
    progress.SetProgressRange(static_cast<std::uint32_t>(
        std::min<std::uint64_t>(count, std::numeric_limits<std::uint32_t>::max())));

    // The watcher is told the end on every way out, after the worker was joined (declared before
    // it).
    const WatcherEnd watcherEnd{watcher};
    // The stream outlives the worker that writes through it; the worker is joined on every way out
    // of this function, an exception included.
    DownloadStream stream;
    const bool overlap = OverlapsBlocksOf(std::min(grid.blockSize, grid.fileSize));
    DownloadWorker worker(stream, overlap);
    std::uint64_t start = 0;
    if (!OpenDownloadTarget(selection, selection.destination, progress, digests, stream, worker,
                            start)) {
        progress.Destroy();
        THROW_DOWNLOAD(openFailure);
    }
    // The watcher learns the kept part now and each written block from the worker.
    if (watcher != nullptr) {
        watcher->Started(start * grid.blockSize);
        worker.Watch(watcher, start * grid.blockSize);
    }
    worker.Begin(start);

    // With overlap the next block is received while the worker checks and writes the previous
    // one, and over several connections further blocks are on their way (within the bound of
    // bytes ahead). A block found bad is fetched again (after the usual wait, which holds up only
    // that block) before anything else; blocks that were already received meanwhile wait in the
    // hand-off or the fetcher and are not fetched again. Declared after the worker: its
    // connections are closed before the worker is joined.
    const std::size_t ahead = overlap ? 1 : 0;
    BlockFetcher fetcher(ReleaseObject{ReleaseStore(), selection.containername, selection.filename},
                         false);
    const std::uint64_t budget = grid.blockSize + (overlap ? ReceiveAheadBytes() : 0);
    const auto queue = [&](std::uint64_t block, std::uint64_t delayMs, bool urgent) {
        fetcher.Fetch(block, grid.First(block), grid.Length(block), worker.SpareBuffer(), delayMs,
                      urgent);
    };
    std::uint64_t next = start;    // the next block not yet handed over
    std::uint64_t queued = start;  // the blocks before it are queued or handed over
    bool fetchAgain = false;       // the block `again` mismatched and is fetched next
    std::uint64_t again = 0;
    int mismatches = 0;
    for (;;) {
        const bool lastHandedOff = next == count && !fetchAgain;
        for (BlockVerdict& verdict : worker.Verdicts(lastHandedOff ? 0 : ahead)) {
            if (verdict.match) {
                mismatches = 0;
                continue;
            }
            if (++mismatches >= kMaxMismatches) {
                THROW_DOWNLOAD(MismatchReport(verdict.block, digests[verdict.block],
                                              verdict.received, selection.blocksize));
            }
            queue(verdict.block, kMismatchWaitMs, true);
            fetchAgain = true;
            again = verdict.block;
        }
        if (worker.WriteFailed()) {
            THROW_DOWNLOAD("Error during file write!");
        }
        std::uint64_t block = 0;
        if (fetchAgain) {
            block = again;
            fetchAgain = false;
        } else if (next < count) {
            block = next++;
        } else {
            break;
        }

        if (block >= queued) {
            queue(block, 0, false);
            queued = block + 1;
        }
        while (fetcher.Parallel() && queued < count &&
               fetcher.BytesQueued() + grid.Length(queued) <= budget) {
            queue(queued++, 0, false);
        }
        std::optional<std::string> text = fetcher.Take(block);
        if (!text) {
            THROW_DOWNLOAD("Error during downloading archive");
        }
        progress.ProgressStep();
        PumpMessages(kPumpAfterBlock);
        worker.Submit(block, std::move(*text), &digests[block]);
    }

    // The file is opened for reading while the stream still holds it: the same identity proves it
    // is the file whose bytes were hashed as they were written, not one put at its name since.
    const std::u16string path = LocalReleasePath(selection, selection.destination);
    std::shared_ptr<const ReadOnlyFile> written = ReadOnlyFile::Open(path);
    const bool same = written && stream.IsFile(*written);
    FinishDownload(worker, stream, progress, selection.hash);
    if (!same) {
        if (IsLink(path)) {
            THROW_DOWNLOAD(LinkRefusal(path));
        }
        THROW_DOWNLOAD("Hash mismatch for downloaded file!");
    }
    return written;
}

SetupSelection DownloadArchive(SetupSelection selection, PackageWatcher* watcher) {
    const BlockGrid grid{selection.filesize, selection.blocksize};
    if (const std::string invalid = InvalidGeometry(grid); !invalid.empty()) {
        THROW_DOWNLOAD(invalid);
    }
    if (!IsPlainFileName(selection.filename)) {
        THROW_DOWNLOAD("Invalid release file name: " + selection.filename);
    }

    BlockDigestList digests;
    if (!selection.blockhash.empty() && !FetchBlockDigests(selection, digests)) {
        THROW_DOWNLOAD("Cannot download blockhash file");
    }
    RefuseLinkedReleaseFile(selection);
    if (std::shared_ptr<const ReadOnlyFile> complete =
            OpenCompleteDownload(selection, selection.destination)) {
        selection.package = std::move(complete);
        return selection;
    }
    if (grid.Count() != digests.size()) {
        THROW_DOWNLOAD("Number of expected blockhashes does not match");
    }
    selection.package = DownloadVerifiedBlocks(selection, digests, "Cannot open arc file", watcher);
    return selection;
}
