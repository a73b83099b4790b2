// Windows half of the download target: wide-path streams that share the file with other
// processes, and the cut of a partial file to its whole blocks.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "core/file_system.h"
#include "core/win32_support.h"
#include "download/download_target.h"

std::FILE* OpenSharedFile(const std::u16string& path, StreamMode mode) {
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    int crtFlags = _O_RDONLY | _O_BINARY;
    const char* flags = "rb";
    switch (mode) {
        case StreamMode::Check:
            break;
        case StreamMode::Continue:
            access = GENERIC_WRITE;
            disposition = OPEN_ALWAYS;
            crtFlags = _O_WRONLY | _O_APPEND | _O_BINARY;
            flags = "ab";
            break;
        case StreamMode::New:
            // A link is refused before the file is truncated, so its target keeps its bytes.
            if (IsLink(path)) {
                return nullptr;
            }
            access = GENERIC_WRITE;
            disposition = CREATE_ALWAYS;
            crtFlags = _O_WRONLY | _O_BINARY;
            flags = "wb";
            break;
    }
    // The reparse point itself is opened, never its target, and refused below.
    UniqueHandle handle(CreateFileW(Wide(path), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    disposition,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle || GetFileInformationByHandle(handle.Get(), &info) == FALSE ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle.Get()), crtFlags);
    if (fd < 0) {
        return nullptr;
    }
    // The descriptor owns the handle from here on.
    handle.Release();
    std::FILE* file = _fdopen(fd, flags);
    if (file == nullptr) {
        _close(fd);
    }
    return file;
}

bool StreamFileIdentity(std::FILE* file, FileIdentity& identity) {
    const std::intptr_t native = _get_osfhandle(_fileno(file));
    BY_HANDLE_FILE_INFORMATION info{};
    if (native == -1 ||
        GetFileInformationByHandle(reinterpret_cast<HANDLE>(native), &info) == FALSE) {
        return false;
    }
    identity = {info.dwVolumeSerialNumber,
                (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    return true;
}

bool CutFileToLength(const std::u16string& path, std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(INT64_MAX)) {
        return false;
    }
    // Exclusive for the moment of the cut; a reparse point is opened itself, and refused.
    UniqueHandle file(CreateFileW(Wide(path), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || GetFileInformationByHandle(file.Get(), &info) == FALSE ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(length);
    const bool cut = SetFilePointerEx(file.Get(), position, nullptr, FILE_BEGIN) != FALSE &&
                     SetEndOfFile(file.Get()) != FALSE;
    return file.Close() && cut;
}
