// Windows half of the file-system helpers: wide paths, "\" as the separator, find-first/find-next
// enumeration. Links (junctions and symbolic links to folders) are removed as links, never
// followed, so deleting a tree never reaches outside it.
#include <fcntl.h>
#include <io.h>

#include <algorithm>

#include "core/file_system.h"
#include "core/win32_support.h"

const char16_t kPathSeparator = u'\\';
const char16_t kForeignSeparator = u'/';

namespace {
struct FindCloser {
    void operator()(void* handle) const { FindClose(static_cast<HANDLE>(handle)); }
};

constexpr DWORD kLinkToFolder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

DWORD AttributesOf(const std::u16string& path) {
    return GetFileAttributesW(Wide(path));
}

HANDLE AsHandle(std::intptr_t native) {
    return reinterpret_cast<HANDLE>(native);
}
}  // namespace

bool DeleteDirectoryTree(const std::u16string& folder) {
    // A folder that is itself a link or junction is not the launcher's: its target stays.
    if (IsLink(folder)) {
        return false;
    }
    for (const DirectoryEntry& entry : ListDirectory(folder)) {
        if (entry.isDirectory) {
            DeleteDirectoryTree(entry.fullPath);
            continue;
        }
        // The attributes of a link are not changed: that could reach its target.
        if (!IsLink(entry.fullPath)) {
            ClearReadOnly(entry.fullPath);
        }
        if (!DeleteFileAt(entry.fullPath)) {
            return false;
        }
    }
    return RemoveEmptyDirectory(folder);
}

std::FILE* CreateFileBelow(const std::u16string& folder, const std::u16string& relative) {
    // Every folder between the folder and the file is looked at for a reparse point first.
    const std::u16string base = AsDirectoryPath(folder);
    for (std::size_t end = relative.find(kPathSeparator); end != std::u16string::npos;
         end = relative.find(kPathSeparator, end + 1)) {
        const std::u16string_view name(relative.data(), end);
        if (IsLink(base + std::u16string(name))) {
            return nullptr;
        }
    }
    return CreateFileForWriting(base + relative);
}

bool CreateFoldersBelow(const std::u16string& folder, const std::u16string& relativeFile) {
    // Each folder on the way is made (or found) and looked at for a reparse point before the next.
    const std::u16string base = AsDirectoryPath(folder);
    for (std::size_t end = relativeFile.find(kPathSeparator); end != std::u16string::npos;
         end = relativeFile.find(kPathSeparator, end + 1)) {
        const std::u16string prefix = base + relativeFile.substr(0, end);
        if (IsLink(prefix)) {
            return false;
        }
        if (!IsDirectory(prefix) && !CreateDirectoryOnce(prefix)) {
            return false;
        }
        if (IsLink(prefix)) {
            return false;
        }
    }
    return true;
}

bool IsLink(const std::u16string& path) {
    std::u16string name = path;
    while (name.size() > 1 && (name.back() == kPathSeparator || name.back() == kForeignSeparator)) {
        name.pop_back();
    }
    const DWORD attributes = AttributesOf(name);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

ReadOnlyFile::~ReadOnlyFile() {
    CloseHandle(AsHandle(mNative));
}

std::unique_ptr<ReadOnlyFile> ReadOnlyFile::Open(const std::u16string& path) {
    // The reparse point itself is opened, never its target; it is then refused below. Others may
    // go on reading, writing and deleting the file, as with every file the launcher opens.
    HANDLE handle = CreateFileW(
        Wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    std::unique_ptr<ReadOnlyFile> file(new ReadOnlyFile(reinterpret_cast<std::intptr_t>(handle)));
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(handle, &info) == FALSE ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return nullptr;
    }
    return file;
}

std::uint64_t ReadOnlyFile::Size() const {
    LARGE_INTEGER size{};
    if (GetFileSizeEx(AsHandle(mNative), &size) == FALSE || size.QuadPart < 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

std::size_t ReadOnlyFile::ReadAt(std::uint64_t offset, char* buffer, std::size_t length) const {
    std::size_t done = 0;
    while (done < length) {
        const std::uint64_t at = offset + done;
        OVERLAPPED position{};
        position.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
        position.OffsetHigh = static_cast<DWORD>(at >> 32);
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(length - done, 1u << 30));
        DWORD got = 0;
        if (ReadFile(AsHandle(mNative), buffer + done, want, &got, &position) == FALSE ||
            got == 0) {
            break;
        }
        done += got;
    }
    return done;
}

FileIdentity ReadOnlyFile::Identity() const {
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(AsHandle(mNative), &info) == FALSE) {
        return {};
    }
    return {info.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

std::filesystem::path NativePath(const std::u16string& path) {
    return std::filesystem::path(
        std::wstring(reinterpret_cast<const wchar_t*>(path.data()), path.size()));
}

bool FitsPathLimit(const std::u16string& path) {
    return path.size() < MAX_PATH;
}

bool PathExists(const std::u16string& path) {
    return AttributesOf(path) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::u16string& path) {
    const DWORD attributes = AttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CreateDirectoryOnce(const std::u16string& path) {
    return CreateDirectoryW(Wide(path), nullptr) != FALSE;
}

bool DeleteFileAt(const std::u16string& path) {
    // A link to a folder is a directory entry of its own: removing it leaves its target alone.
    const DWORD attributes = AttributesOf(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kLinkToFolder) == kLinkToFolder) {
        return RemoveDirectoryW(Wide(path)) != FALSE;
    }
    return DeleteFileW(Wide(path)) != FALSE;
}

bool RemoveEmptyDirectory(const std::u16string& path) {
    return RemoveDirectoryW(Wide(path)) != FALSE;
}

namespace {
std::u16string TrimmedSeparators(std::u16string path) {
    while (path.size() > 1 && (path.back() == kPathSeparator || path.back() == kForeignSeparator)) {
        path.pop_back();
    }
    return path;
}
}  // namespace

bool MoveBelow(const std::u16string& folder, const std::u16string& from, const std::u16string& to) {
    // Every folder between the folder and either name is looked at for a reparse point first;
    // MoveFileExW moves or replaces a reparse point at either name itself.
    const std::u16string base = AsDirectoryPath(folder);
    for (const std::u16string& relative : {TrimmedSeparators(from), TrimmedSeparators(to)}) {
        if (relative.empty() || !IsContainedRelativePath(relative)) {
            return false;
        }
        for (std::size_t end = relative.find(kPathSeparator); end != std::u16string::npos;
             end = relative.find(kPathSeparator, end + 1)) {
            if (IsLink(base + relative.substr(0, end))) {
                return false;
            }
        }
    }
    return MoveFileExW(Wide(base + TrimmedSeparators(from)), Wide(base + TrimmedSeparators(to)),
                       MOVEFILE_REPLACE_EXISTING) != FALSE;
}

void HideEntry(const std::u16string& path) {
    const std::u16string trimmed = TrimmedSeparators(path);
    const DWORD attributes = GetFileAttributesW(Wide(trimmed));
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        SetFileAttributesW(Wide(trimmed), attributes | FILE_ATTRIBUTE_HIDDEN);
    }
}

std::FILE* CreateFileForWriting(const std::u16string& path) {
    // A link is refused before the file would be cut, so its target keeps its bytes; the reparse
    // point itself is opened, never its target.
    if (IsLink(path)) {
        return nullptr;
    }
    UniqueHandle handle(CreateFileW(Wide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle || GetFileInformationByHandle(handle.Get(), &info) == FALSE ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return nullptr;
    }
    const int fd =
        _open_osfhandle(reinterpret_cast<std::intptr_t>(handle.Get()), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        return nullptr;
    }
    handle.Release();  // the descriptor owns it now
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) {
        _close(fd);
    }
    return file;
}

std::vector<DirectoryEntry> ListDirectory(const std::u16string& folder) {
    std::vector<DirectoryEntry> entries;
    // A folder path that ends with a separator gives a doubled one here, which Windows accepts.
    const std::u16string pattern = folder + u"\\*.*";
    WIN32_FIND_DATAW data{};
    std::unique_ptr<void, FindCloser> find(FindFirstFileW(Wide(pattern), &data));
    if (find.get() == INVALID_HANDLE_VALUE) {
        find.release();
        return entries;
    }
    std::u16string base = folder;
    if (!base.empty() && base.back() != kPathSeparator && base.back() != kForeignSeparator) {
        base.push_back(kPathSeparator);
    }
    do {
        const std::u16string name = FromWide(data.cFileName);
        if (name == u"." || name == u"..") {
            continue;
        }
        DirectoryEntry entry;
        entry.fullPath = base + name;
        entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                            (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        entries.push_back(std::move(entry));
    } while (FindNextFileW(find.get(), &data) != FALSE);
    return entries;
}

void ClearReadOnly(const std::u16string& path) {
    const DWORD attributes = AttributesOf(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(Wide(path), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
}
