#pragma once
// Path and folder helpers shared by downloads, installation and the folder picker. None of them
// logs or throws. The native separator is "\" on Windows and "/" on POSIX; normalising turns the
// other platform's separator into the native one.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

extern const char16_t kPathSeparator;
extern const char16_t kForeignSeparator;

using MadeFolders = std::set<std::u16string>;

std::u16string NormalizeSeparators(std::u16string path);
// Normalised, with one separator appended unless empty or already ending with one.
std::u16string AsDirectoryPath(const std::u16string& path);
// The folder prefixes of a file path that CreateParentDirectories asks for, shortest first.
std::vector<std::u16string> ParentDirectoryPrefixes(const std::u16string& filePath);
// Asks the platform for every parent folder of the file not yet in made (and adds it there).
void CreateParentDirectories(const std::u16string& filePath, MadeFolders& made);
void CreateParentDirectories(const std::u16string& filePath);
// Deletes a folder tree; true only when the folder itself was removed. Stops a level at the first
// file that cannot be deleted. Links are never followed: a link inside the tree is removed as a
// link, and a folder that is itself a link is left alone (false).
bool DeleteDirectoryTree(const std::u16string& folder);
void ClearReadOnly(const std::u16string& path);
// Size in bytes; 0 when the file cannot be opened (a link at its name counts as that).
std::uint64_t FileSizeOrZero(const std::u16string& path);
// Whether the path's last component is itself a link: a symbolic link, or on Windows any reparse
// point (junctions included). A trailing separator is ignored, so the link is not resolved.
bool IsLink(const std::u16string& path);
// The message that ends a launch when a link stands where the launcher expects its own file or
// folder.
std::string LinkRefusal(const std::u16string& path);

// Where a file lives: device and inode on POSIX, volume serial number and file index on Windows.
// Two open files with the same identity are the same file.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
};

// A file opened for reading without following a link at its name (a link there does not open),
// shared with other processes. Closed when the object goes; reads name their offset, so several
// readers of one object do not disturb each other.
class ReadOnlyFile {
  public:
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    // Null when the path cannot be opened, is a link or is no regular file.
    static std::unique_ptr<ReadOnlyFile> Open(const std::u16string& path);

    // Size in bytes; 0 when it cannot be asked for.
    std::uint64_t Size() const;
    // Reads up to length bytes at offset; the number read (short at the end or on an error).
    std::size_t ReadAt(std::uint64_t offset, char* buffer, std::size_t length) const;
    FileIdentity Identity() const;
    // The descriptor (POSIX) or HANDLE (Windows), still owned by this object.
    std::intptr_t NativeHandle() const { return mNative; }

  private:
    explicit ReadOnlyFile(std::intptr_t native) : mNative(native) {}
    std::intptr_t mNative;
};

// Platform primitives.
std::filesystem::path NativePath(const std::u16string& path);
// Whether a path is short enough for the platform's file functions (PATH_MAX bytes of UTF-8 on
// POSIX, MAX_PATH UTF-16 units on Windows, each with its terminating zero).
bool FitsPathLimit(const std::u16string& path);
bool PathExists(const std::u16string& path);
bool IsDirectory(const std::u16string& path);
bool CreateDirectoryOnce(const std::u16string& path);
bool DeleteFileAt(const std::u16string& path);
bool RemoveEmptyDirectory(const std::u16string& path);
// Renames folder + from to folder + to (relative paths; a trailing separator is ignored), within
// one volume, reaching both from the folder without following a link on the way. A file replaces
// a file at the new name; a folder needs its new name to be free (POSIX also takes an empty
// folder). A link at either name is moved or replaced as the link, never followed.
bool MoveBelow(const std::u16string& folder, const std::u16string& from, const std::u16string& to);
// Hides a folder from a casual look where the platform has an attribute for it (Windows); on POSIX
// a leading dot in its name does that, and this does nothing.
void HideEntry(const std::u16string& path);
// Copies the file's bytes to another, created or cut to nothing; a link at either name is not
// followed (the copy fails).
bool CopyFileOver(const std::u16string& from, const std::u16string& to);
// Opens a file for writing, created or cut to nothing, without following a link at its name (a
// link there fails to open); not inherited by programs started later. nullptr on failure.
std::FILE* CreateFileForWriting(const std::u16string& path);
// The same for folder + relative (native separators, no ".."), reached from the folder without
// following a link in any folder on the way; the folder itself is taken as it is.
std::FILE* CreateFileBelow(const std::u16string& folder, const std::u16string& relative);
// Makes the folders between folder and the file relativeFile (native separators, no "..") that
// are missing, reached the same way; false when a folder on the way is a link or cannot be made.
bool CreateFoldersBelow(const std::u16string& folder, const std::u16string& relativeFile);
// Copies the file's bytes into target (which it then closes); a link at from is not followed.
bool CopyFileInto(const std::u16string& from, std::FILE* target);
struct DirectoryEntry {
    std::u16string fullPath;
    bool isDirectory = false;
};
// The entries of a folder ("." and ".." left out), in the platform's order; empty when it cannot
// be read.
std::vector<DirectoryEntry> ListDirectory(const std::u16string& folder);
// Whether a name from the network (a release key, a file name) names exactly one entry inside its
// folder: not empty, not "." or "..", and no "/", "\", ":" or NUL.
bool IsPlainFileName(std::string_view name);
// Whether a relative path from the network stays inside its folder: not absolute, no drive, no
// leading separator, no ".." component (either separator counts).
bool IsContainedRelativePath(const std::u16string& path);
