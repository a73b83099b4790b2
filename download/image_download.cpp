// The download of an "iso" release: fixed chunks fetched in order into a truncated file, only the
// finished file checked against its SHA-256. A partial image is not continued: without block
// digests there is nothing to verify it against.
#include "download/image_download.h"

#include <algorithm>
#include <limits>
#include <string>

#include "core/endpoints.h"
#include "core/file_system.h"
#include "core/hash_context.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "download/block_grid.h"
#include "download/download_target.h"
#include "net/http_transfer.h"
#include "net/object_path.h"
#include "ui/progress_estimate.h"

SetupSelection DownloadImage(SetupSelection selection) {
    if (!IsPlainFileName(selection.filename)) {
        THROW_DOWNLOAD("Invalid release file name: " + selection.filename);
    }
    if (IsDownloadComplete(selection, selection.destination)) {
        return selection;
    }
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

    const std::u16string object = BlobObjectPath(selection.containername, selection.filename);
    std::string text;
    for (std::uint64_t chunk = 0; chunk < count; ++chunk) {
        text.clear();
        text.reserve(static_cast<std::size_t>(grid.Length(chunk)));
        if (!HttpGetText(DownloadHost.host, object, text,
                         static_cast<std::int64_t>(grid.First(chunk)),
                         static_cast<std::int64_t>(grid.Last(chunk)), DownloadHost.secure,
                         DownloadHost.port)) {
            THROW_DOWNLOAD("Error during downloading archive");
        }
        // A short chunk (connection lost while reading) is written as it came; the final digest
        // check rejects the file.
        stream.Write(text);
        progress.ProgressStep();
        if (stream.Failed()) {
            THROW_DOWNLOAD("Error during file write!");
        }
    }

    FinishDownload(stream, progress, path, selection.hash);
    return selection;
}
