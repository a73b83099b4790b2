#include "download/download_target.h"

#include <algorithm>
#include <vector>

#include "core/file_system.h"
#include "core/hash_context.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "download/block_grid.h"
#include "download/download_worker.h"

namespace {
// Piece in which the blocks of an existing file are read for their check: the check holds this
// much, not a whole block, in memory.
constexpr std::size_t kCheckPiece = 1048576;

// MD5 of the next blockSize bytes of the stream; empty when the file ends before them. Every piece
// read also goes to the worker, which hashes the kept part for the whole-file check meanwhile.
std::string NextBlockMd5(DownloadStream& stream, std::uint64_t blockSize, DownloadWorker& worker) {
    HashContext md5("MD5", {});
    std::uint64_t left = blockSize;
    while (left > 0) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kCheckPiece));
        std::string piece(want, '\0');
        std::size_t got = stream.Read(piece.data(), want);
        if (got != want) {
            return {};
        }
        md5.Update(piece.data(), got);
        worker.HashKept(std::move(piece));
        left -= got;
    }
    return md5.Finish(true);
}

// Checks the whole blocks of the file open in check mode; true when every one matches its digest.
// One progress step per block read.
bool WholeBlocksMatch(DownloadStream& stream, const BlockGrid& grid, std::uint64_t whole,
                      const BlockDigestList& digests, ExtractionProgress& progress,
                      DownloadWorker& worker, std::uint64_t& start) {
    while (start < whole) {
        std::string digest = NextBlockMd5(stream, grid.blockSize, worker);
        progress.ProgressStep();
        if (digest.empty() || digest != digests[start]) {
            return false;
        }
        ++start;
    }
    return true;
}
}  // namespace

void DownloadStream::FileCloser::operator()(std::FILE* file) const {
    std::fclose(file);
}

bool DownloadStream::Open(const std::u16string& path, StreamMode mode) {
    Close();
    mFailed = false;
    std::FILE* file = OpenSharedFile(path, mode);
    if (file == nullptr) {
        return false;
    }
    // No stream buffer: each block goes to the file in one write, straight from the caller's text.
    std::setvbuf(file, nullptr, _IONBF, 0);
    mFile.reset(file);
    return true;
}

bool DownloadStream::IsFile(const ReadOnlyFile& file) const {
    FileIdentity identity;
    return mFile && StreamFileIdentity(mFile.get(), identity) && identity == file.Identity();
}

bool DownloadStream::Close() {
    if (!mFile) {
        return true;
    }
    bool closed = std::fclose(mFile.release()) == 0;
    if (!closed) {
        mFailed = true;
    }
    return closed;
}

std::size_t DownloadStream::Read(char* buffer, std::size_t length) {
    if (!mFile) {
        return 0;
    }
    return std::fread(buffer, 1, length, mFile.get());
}

bool DownloadStream::Write(std::string_view data) {
    if (!mFile || mFailed) {
        mFailed = true;
        return false;
    }
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), mFile.get()) != data.size()) {
        mFailed = true;
    }
    return !mFailed;
}

std::u16string LocalReleasePath(const SetupSelection& selection,
                                const std::u16string& destination) {
    return destination + ToUtf16(selection.filename);
}

std::shared_ptr<const ReadOnlyFile> OpenCompleteDownload(const SetupSelection& selection,
                                                         const std::u16string& destination) {
    std::shared_ptr<const ReadOnlyFile> file =
        ReadOnlyFile::Open(LocalReleasePath(selection, destination));
    if (!file || file->Size() != selection.filesize || Sha256FileHex(*file) != selection.hash) {
        return nullptr;
    }
    return file;
}

bool IsDownloadComplete(const SetupSelection& selection, const std::u16string& destination) {
    return OpenCompleteDownload(selection, destination) != nullptr;
}

void RefuseLinkedReleaseFile(const SetupSelection& selection) {
    const std::u16string path = LocalReleasePath(selection, selection.destination);
    if (IsLink(path)) {
        THROW_DOWNLOAD(LinkRefusal(path));
    }
}

bool OpenDownloadTarget(const SetupSelection& selection, const std::u16string& destination,
                        ExtractionProgress& progress, const BlockDigestList& digests,
                        DownloadStream& stream, DownloadWorker& worker, std::uint64_t& start) {
    std::u16string path = LocalReleasePath(selection, destination);
    CreateParentDirectories(path);
    start = 0;
    stream.Close();

    if (PathExists(path)) {
        BlockGrid grid{selection.filesize, selection.blocksize};
        std::uint64_t size = FileSizeOrZero(path);
        std::uint64_t whole = grid.WholeBlocks(size);
        std::uint64_t aligned = grid.AlignedLength(size);

        if (whole > digests.size()) {
            // Longer than the release: its extra blocks have no digest to check them against.
            DeleteFileAt(path);
        } else if (size != aligned && !CutFileToLength(path, aligned)) {
            DeleteFileAt(path);
        }

        if (PathExists(path)) {
            if (!stream.Open(path, StreamMode::Check)) {
                DeleteFileAt(path);
            } else if (!WholeBlocksMatch(stream, grid, whole, digests, progress, worker, start)) {
                stream.Close();
                DeleteFileAt(path);
                start = 0;
            } else {
                stream.Close();
                stream.Open(path, StreamMode::Continue);
            }
        }
    }

    if (!stream.IsOpen()) {
        // Nothing of the old file is kept: the file's digest starts from no bytes.
        worker.ForgetKept();
        start = 0;
        stream.Open(path, StreamMode::New);
        progress.ResetProgress();
    }
    return stream.IsOpen();
}

void FinishDownload(DownloadWorker& worker, DownloadStream& stream, ExtractionProgress& progress,
                    const std::string& hash) {
    const std::string digest = worker.Finish();
    if (worker.WriteFailed() || !stream.Close()) {
        THROW_DOWNLOAD("Error during file write!");
    }
    progress.Destroy();
    if (digest != hash) {
        THROW_DOWNLOAD("Hash mismatch for downloaded file!");
    }
}
