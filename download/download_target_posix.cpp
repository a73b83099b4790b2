// POSIX half of the download target: files are always shared between processes here, so the modes
// differ only in how the file is opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <limits>

#include "core/file_system.h"
#include "core/unique_fd.h"
#include "download/download_target.h"

std::FILE* OpenSharedFile(const std::u16string& path, StreamMode mode) {
    // Close-on-exec, so a setup started later does not inherit the file; no link is followed, and
    // a planted FIFO cannot hold the open up (non-blocking changes nothing for a regular file).
    int access = O_RDONLY;
    const char* flags = "rb";
    switch (mode) {
        case StreamMode::Check:
            break;
        case StreamMode::Continue:
            access = O_WRONLY | O_APPEND | O_CREAT;
            flags = "ab";
            break;
        case StreamMode::New:
            access = O_WRONLY | O_TRUNC | O_CREAT;
            flags = "wb";
            break;
    }
    UniqueFd fd(
        ::open(NativePath(path).c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (fd.Get() < 0) {
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd.Get(), flags);
    if (file != nullptr) {
        fd.Release();
    }
    return file;
}

bool StreamFileIdentity(std::FILE* file, FileIdentity& identity) {
    struct stat info {};
    if (::fstat(::fileno(file), &info) != 0) {
        return false;
    }
    identity = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    return true;
}

bool CutFileToLength(const std::u16string& path, std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return false;
    }
    UniqueFd file(::open(NativePath(path).c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (file.Get() < 0) {
        return false;
    }
    bool cut = ::ftruncate(file.Get(), static_cast<off_t>(length)) == 0;
    return file.Close() && cut;
}
