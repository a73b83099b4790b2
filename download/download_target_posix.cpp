// POSIX half of the download target: files are always shared between processes here, so the modes
// differ only in how the file is opened.
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <limits>

#include "core/file_system.h"
#include "core/unique_fd.h"
#include "download/download_target.h"

std::FILE* OpenSharedFile(const std::u16string& path, StreamMode mode) {
    // "e": close-on-exec, so a setup started later does not inherit the file.
    const char* flags = "rbe";
    switch (mode) {
        case StreamMode::Check:
            flags = "rbe";
            break;
        case StreamMode::Continue:
            flags = "abe";
            break;
        case StreamMode::New:
            flags = "wbe";
            break;
    }
    return std::fopen(NativePath(path).c_str(), flags);
}

bool CutFileToLength(const std::u16string& path, std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return false;
    }
    UniqueFd file(::open(NativePath(path).c_str(), O_WRONLY | O_CLOEXEC));
    if (file.Get() < 0) {
        return false;
    }
    bool cut = ::ftruncate(file.Get(), static_cast<off_t>(length)) == 0;
    return file.Close() && cut;
}
