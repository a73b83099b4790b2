// Windows half of the download target: wide-path streams that share the file with other
// processes, and the cut of a partial file to its whole blocks.
#include <windows.h>

#include <share.h>

#include "core/win32_support.h"
#include "download/download_target.h"

std::FILE* OpenSharedFile(const std::u16string& path, StreamMode mode) {
    const wchar_t* flags = L"rb";
    switch (mode) {
        case StreamMode::Check:
            flags = L"rb";
            break;
        case StreamMode::Continue:
            flags = L"ab";
            break;
        case StreamMode::New:
            flags = L"wb";
            break;
    }
    return _wfsopen(Wide(path), flags, _SH_DENYNO);
}

bool CutFileToLength(const std::u16string& path, std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(INT64_MAX)) {
        return false;
    }
    // Exclusive for the moment of the cut.
    UniqueHandle file(CreateFileW(Wide(path), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(length);
    const bool cut = SetFilePointerEx(file.Get(), position, nullptr, FILE_BEGIN) != FALSE &&
                     SetEndOfFile(file.Get()) != FALSE;
    return file.Close() && cut;
}
