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

class ReadOnlyFile;

// Opens the package read-only; empty when the file cannot be opened or is no zip archive.
ArchiveHandle OpenArchive(const std::u16string& path);
// Reads the package from a file already open; the file stays open and usable after the handle.
ArchiveHandle OpenArchive(const ReadOnlyFile& file);
// Platform primitive: a zip source over its own duplicate of the open file (libzip closes the
// duplicate when the source is freed); null on failure, with error set.
zip_source_t* OpenFileSource(const ReadOnlyFile& file, zip_error_t* error);
// Releases the package before the handle would go out of scope.
void CloseArchive(ArchiveHandle& handle);

// Finds a member by its whole stored name (folder part included), ASCII letter case ignored.
// Returns false when there is no such member.
bool LocateMember(zip_t* archive, const std::string& name, zip_uint64_t& index);
