#pragma once
// The local side of a download: where the release file lives, whether an earlier download already
// finished it, and how a partial archive is checked block by block and continued.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "catalogue/release_index.h"
#include "core/file_system.h"
#include "download/archive_download.h"
#include "ui/progress_estimate.h"

class DownloadWorker;
class ReadOnlyFile;

// How the download stream opens the file. Every mode shares the file with other processes.
enum class StreamMode {
    Check,     // reading, binary: verifying the whole blocks of an existing file
    Continue,  // writing at the end, binary: every whole block of an existing file matched
    New,       // writing, binary, truncating (creates the file): no usable file exists
};

// The file stream of one download, owned by the download operation. Writes go straight to the
// operating system (no buffer of its own), so every block that Write accepted is in the file even
// when a later write fails or the process ends.
class DownloadStream {
  public:
    DownloadStream() = default;
    DownloadStream(const DownloadStream&) = delete;
    DownloadStream& operator=(const DownloadStream&) = delete;

    bool Open(const std::u16string& path, StreamMode mode);
    bool IsOpen() const { return mFile != nullptr; }
    // Closes the file; false when it was open and closing reported an error.
    bool Close();

    // Reads up to length bytes; the number read (short at the end of the file or on an error).
    std::size_t Read(char* buffer, std::size_t length);
    // Writes all of data; false, and Failed() from then on, when that did not succeed.
    bool Write(std::string_view data);
    bool Failed() const { return mFailed; }
    // Whether the open stream writes to the given file.
    bool IsFile(const ReadOnlyFile& file) const;

  private:
    struct FileCloser {
        void operator()(std::FILE* file) const;
    };
    std::unique_ptr<std::FILE, FileCloser> mFile;
    bool mFailed = false;
};

// destination followed directly by the UTF-16 file name (no separator inserted).
std::u16string LocalReleasePath(const SetupSelection& selection, const std::u16string& destination);

// The local file exists, has exactly filesize bytes and its SHA-256 equals hash. The digest is
// computed only when the size matches. The file is opened once, without following a link at its
// name, and checked through that open file, which is returned (null when it is not complete).
std::shared_ptr<const ReadOnlyFile> OpenCompleteDownload(const SetupSelection& selection,
                                                         const std::u16string& destination);
bool IsDownloadComplete(const SetupSelection& selection, const std::u16string& destination);
// Throws DownloadException with LinkRefusal when the release file's name is a link: the launcher
// neither reads nor writes through it.
void RefuseLinkedReleaseFile(const SetupSelection& selection);

// Opens stream for writing at the end of the verified part of the local file: keeps every whole
// block when all of them match their digests (one progress step per checked block), otherwise
// starts a new file (progress reset). start receives the first block still to fetch. The kept
// bytes go to the worker's file digest as they are read for their check, so they are read once.
// False only when no stream could be opened.
bool OpenDownloadTarget(const SetupSelection& selection, const std::u16string& destination,
                        ExtractionProgress& progress, const BlockDigestList& digests,
                        DownloadStream& stream, DownloadWorker& worker, std::uint64_t& start);

// Cuts an existing file to length bytes; true when the file now ends there.
bool CutFileToLength(const std::u16string& path, std::uint64_t length);

// Platform primitive: opens the file for the mode, shared with other processes, without following a
// link at its name (a link there fails to open); nullptr on failure.
std::FILE* OpenSharedFile(const std::u16string& path, StreamMode mode);
// Platform primitive: where the stream's file lives; false when it cannot be asked for.
bool StreamFileIdentity(std::FILE* file, FileIdentity& identity);

// The end of a download: finishes the worker, closes the stream and the progress window, then
// checks the file's digest (computed as its bytes were written) against the release's SHA-256.
// Throws DownloadException with "Error during file write!" or "Hash mismatch for downloaded
// file!".
void FinishDownload(DownloadWorker& worker, DownloadStream& stream, ExtractionProgress& progress,
                    const std::string& hash);
