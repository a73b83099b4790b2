// Windows half of the file-system helpers: wide paths, "\" as the separator, find-first/find-next
// enumeration. Links (junctions and symbolic links to folders) are removed as links, never
// followed, so deleting a tree never reaches outside it.
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
}  // namespace

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

bool CopyFileOver(const std::u16string& from, const std::u16string& to) {
    return CopyFileW(Wide(from), Wide(to), FALSE) != FALSE;
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
