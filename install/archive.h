#pragma once
// One open "arc" package. libzip reads the zip format; the handle owns the reader and the file
// beneath it and releases both when it goes out of scope.
#include <zip.h>

#include <memory>
#include <string>

struct ArchiveCloser {
    void operator()(zip_t* archive) const noexcept;
};

using ArchiveHandle = std::unique_ptr<zip_t, ArchiveCloser>;

// Opens the package read-only; empty when the file cannot be opened or is no zip archive.
ArchiveHandle OpenArchive(const std::u16string& path);
// Releases the package before the handle would go out of scope.
void CloseArchive(ArchiveHandle& handle);

// Finds a member by its whole stored name (folder part included), ASCII letter case ignored.
// Returns false when there is no such member.
bool LocateMember(zip_t* archive, const std::string& name, zip_uint64_t& index);
