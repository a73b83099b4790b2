#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include <memory>
#include <utility>

#include "core/file_system.h"
#include "core/text_conversion.h"
#include "core/unique_fd.h"

const char16_t kPathSeparator = u'/';
const char16_t kForeignSeparator = u'\\';

namespace {
std::string Native(const std::u16string& path) {
    return ToUtf8(path);
}

// The path without its trailing separators: a trailing "/" would make the system resolve a link
// in the last component, which opening without following must not do.
std::string NativeNoTrailingSeparator(const std::u16string& path) {
    std::string native = Native(path);
    while (native.size() > 1 && native.back() == '/') {
        native.pop_back();
    }
    return native;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// The names in the open folder ("." and ".." left out); empty when it cannot be read.
std::vector<std::string> NamesIn(int folder) {
    std::vector<std::string> names;
    const int listing = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (listing < 0) {
        return names;
    }
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listing));
    if (!dir) {
        ::close(listing);
        return names;
    }
    while (dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(std::move(name));
        }
    }
    return names;
}

// Deletes what the open folder holds, walking below it by descriptor: an entry is looked at
// without following it, so a link is removed as a link and no path is resolved anew. False at the
// first file of this level that cannot be deleted.
bool DeleteEntriesOf(int folder) {
    for (const std::string& name : NamesIn(folder)) {
        struct stat info {};
        if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            return false;
        }
        if (S_ISDIR(info.st_mode)) {
            UniqueFd sub(
                ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (sub.Get() >= 0) {
                DeleteEntriesOf(sub.Get());
            }
            ::unlinkat(folder, name.c_str(), AT_REMOVEDIR);
            continue;
        }
        if (::unlinkat(folder, name.c_str(), 0) != 0) {
            return false;
        }
    }
    return true;
}
}  // namespace

bool DeleteDirectoryTree(const std::u16string& folder) {
    const std::string native = NativeNoTrailingSeparator(folder);
    UniqueFd opened(::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (opened.Get() < 0 || !DeleteEntriesOf(opened.Get())) {
        return false;
    }
    return ::rmdir(native.c_str()) == 0;
}

namespace {

// The stream of a file just opened for writing; nullptr (and the descriptor closed) when the open
// failed or what was opened is no regular file.
std::FILE* WritableStream(UniqueFd fd) {
    struct stat info {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd.Get(), "wb");
    if (file != nullptr) {
        fd.Release();
    }
    return file;
}

}  // namespace

namespace {

// The folder that holds the last name of path (native separators, no ".."), reached from folder
// without following a link on the way, the folders missing on the way made first when create is
// set; leaf receives that last name. An invalid descriptor when a folder on the way is a link, is
// missing (without create) or cannot be made.
UniqueFd OpenFolderBelow(const std::u16string& folder, const std::string& path, bool create,
                         std::string& leaf) {
    UniqueFd at(::open(NativeNoTrailingSeparator(folder).c_str(),
                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::size_t start = 0;
    for (std::size_t end = path.find('/'); at.Get() >= 0 && end != std::string::npos;
         end = path.find('/', start)) {
        const std::string name = path.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") {
            continue;
        }
        // ".." would lead up; O_NOFOLLOW does not stop it.
        if (name == ".." ||
            (create && ::mkdirat(at.Get(), name.c_str(), 0777) != 0 && errno != EEXIST)) {
            return UniqueFd();
        }
        at = UniqueFd(
            ::openat(at.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    leaf = path.substr(start);
    return at;
}

}  // namespace

std::FILE* CreateFileBelow(const std::u16string& folder, const std::u16string& relative) {
    std::string name;
    const UniqueFd at = OpenFolderBelow(folder, Native(relative), false, name);
    if (at.Get() < 0 || name.empty() || name == "." || name == "..") {
        return nullptr;
    }
    // Non-blocking only so that a planted FIFO cannot hold the open up.
    UniqueFd fd(::openat(at.Get(), name.c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    return WritableStream(std::move(fd));
}

bool CreateFoldersBelow(const std::u16string& folder, const std::u16string& relativeFile) {
    std::string name;
    return OpenFolderBelow(folder, Native(relativeFile), true, name).Get() >= 0;
}

bool IsLink(const std::u16string& path) {
    struct stat info {};
    return ::lstat(NativeNoTrailingSeparator(path).c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

ReadOnlyFile::~ReadOnlyFile() {
    ::close(static_cast<int>(mNative));
}

std::unique_ptr<ReadOnlyFile> ReadOnlyFile::Open(const std::u16string& path) {
    // Non-blocking only so that a planted FIFO cannot hold the open up; reads of a regular file
    // are unaffected.
    UniqueFd fd(::open(Native(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return nullptr;
    }
    std::unique_ptr<ReadOnlyFile> file(new ReadOnlyFile(fd.Get()));
    fd.Release();
    return file;
}

std::uint64_t ReadOnlyFile::Size() const {
    struct stat info {};
    if (::fstat(static_cast<int>(mNative), &info) != 0 || info.st_size < 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(info.st_size);
}

std::size_t ReadOnlyFile::ReadAt(std::uint64_t offset, char* buffer, std::size_t length) const {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = ::pread(static_cast<int>(mNative), buffer + done, length - done,
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

FileIdentity ReadOnlyFile::Identity() const {
    struct stat info {};
    if (::fstat(static_cast<int>(mNative), &info) != 0) {
        return {};
    }
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

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

bool MoveBelow(const std::u16string& folder, const std::u16string& from, const std::u16string& to) {
    const auto leafOf = [](const std::u16string& relative) {
        std::string path = Native(relative);
        while (!path.empty() && path.back() == '/') {
            path.pop_back();
        }
        return path;
    };
    std::string fromName;
    std::string toName;
    const UniqueFd fromFolder = OpenFolderBelow(folder, leafOf(from), false, fromName);
    const UniqueFd toFolder = OpenFolderBelow(folder, leafOf(to), false, toName);
    for (const std::string& name : {fromName, toName}) {
        if (name.empty() || name == "." || name == "..") {
            return false;
        }
    }
    return fromFolder.Get() >= 0 && toFolder.Get() >= 0 &&
           ::renameat(fromFolder.Get(), fromName.c_str(), toFolder.Get(), toName.c_str()) == 0;
}

void HideEntry(const std::u16string&) {}

std::FILE* CreateFileForWriting(const std::u16string& path) {
    // Non-blocking only so that a planted FIFO cannot hold the open up.
    UniqueFd fd(::open(Native(path).c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    return WritableStream(std::move(fd));
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
