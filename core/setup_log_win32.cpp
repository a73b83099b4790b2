// The log file in the user's temporary folder, appended to with one write per record; other
// processes may read, write and delete it meanwhile.
#include <vector>

#include "core/setup_log.h"
#include "core/win32_support.h"

std::u16string LogFilePath() {
    // The temporary folder ends with a backslash; one more is added before the file name, which
    // the file system accepts. Without a temporary folder the file lands in the drive's root.
    std::vector<wchar_t> buffer(261, L'\0');
    DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length >= buffer.size()) {
        buffer.assign(length + 1, L'\0');
        length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    }
    std::u16string folder;
    if (length > 0 && length < buffer.size()) {
        folder = FromWide(buffer.data(), length);
    }
    return folder + u"\\CAD-Setup.log";
}

void AppendLogLine(const std::u16string& path, const std::string& record, bool checkSize) {
    if (checkSize) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (GetFileAttributesExW(Wide(path), GetFileExInfoStandard, &data) != FALSE) {
            const std::uint64_t size =
                (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            if (size > kLogSizeLimit) {
                DeleteFileW(Wide(path));
            }
        }
    }
    // Append-only access: every write lands at the end of the file, also when another process
    // appends at the same time.
    UniqueHandle file(CreateFileW(Wide(path), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return;
    }
    const std::string line = record + "\r\n";
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        if (WriteFile(file.Get(), data, chunk, &written, nullptr) == FALSE || written == 0) {
            break;
        }
        data += written;
        left -= written;
    }
}
