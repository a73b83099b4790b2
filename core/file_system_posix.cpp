#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <memory>

#include "core/file_system.h"
#include "core/text_conversion.h"

const char16_t kPathSeparator = u'/';
const char16_t kForeignSeparator = u'\\';

namespace {
std::string Native(const std::u16string& path) {
    return ToUtf8(path);
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
}  // namespace

std::filesystem::path NativePath(const std::u16string& path) {
    return std::filesystem::path(Native(path));
}

bool FitsPathLimit(const std::u16string& path) {
    // Every UTF-16 unit becomes at most three UTF-8 bytes: most paths need no conversion here.
    if (path.size() * 3 < PATH_MAX) return true;
    return Native(path).size() < PATH_MAX;
}

bool PathExists(const std::u16string& path) {
    struct stat info {};
    return ::lstat(Native(path).c_str(), &info) == 0;
}

bool IsDirectory(const std::u16string& path) {
    struct stat info {};
    return ::stat(Native(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CreateDirectoryOnce(const std::u16string& path) {
    return ::mkdir(Native(path).c_str(), 0777) == 0;
}

bool DeleteFileAt(const std::u16string& path) {
    return ::unlink(Native(path).c_str()) == 0;
}

bool RemoveEmptyDirectory(const std::u16string& path) {
    return ::rmdir(Native(path).c_str()) == 0;
}

bool CopyFileOver(const std::u16string& from, const std::u16string& to) {
    std::error_code error;
    return std::filesystem::copy_file(NativePath(from), NativePath(to),
                                      std::filesystem::copy_options::overwrite_existing, error);
}

std::vector<DirectoryEntry> ListDirectory(const std::u16string& folder) {
    std::vector<DirectoryEntry> entries;
    std::unique_ptr<DIR, DirCloser> dir(::opendir(Native(folder).c_str()));
    if (!dir) {
        return entries;
    }
    std::u16string base = folder;
    if (!base.empty() && base.back() != kPathSeparator) {
        base.push_back(kPathSeparator);
    }
    while (dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        DirectoryEntry item;
        item.fullPath = base + ToUtf16(name);
        // A link to a folder is removed as a link, never followed.
        struct stat info {};
        item.isDirectory =
            ::lstat(Native(item.fullPath).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        entries.push_back(std::move(item));
    }
    return entries;
}

void ClearReadOnly(const std::u16string& path) {
    struct stat info {};
    std::string native = Native(path);
    if (::lstat(native.c_str(), &info) == 0 && !S_ISLNK(info.st_mode) &&
        (info.st_mode & S_IWUSR) == 0) {
        ::chmod(native.c_str(), (info.st_mode & 07777) | S_IWUSR);
    }
}
