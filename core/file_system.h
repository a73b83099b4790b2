#pragma once
// Path and folder helpers shared by downloads, installation and the folder picker. None of them
// logs or throws. The native separator is "\" on Windows and "/" on POSIX; normalising turns the
// other platform's separator into the native one.
#include <cstdint>
#include <filesystem>
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
// file that cannot be deleted.
bool DeleteDirectoryTree(const std::u16string& folder);
void ClearReadOnly(const std::u16string& path);
// Size in bytes; 0 when the file cannot be opened.
std::uint64_t FileSizeOrZero(const std::u16string& path);

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
bool CopyFileOver(const std::u16string& from, const std::u16string& to);
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
