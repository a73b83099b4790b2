#pragma once
// Ownership of a libzip archive: discarded (no changes written) unless CloseZip succeeded.
#include <zip.h>

#include <memory>
#include <string>

struct ZipDiscard {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ZipHandle = std::unique_ptr<zip_t, ZipDiscard>;

struct ZipFileClose {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using ZipFileHandle = std::unique_ptr<zip_file_t, ZipFileClose>;

// Opens an archive; on failure returns null and puts libzip's reason into error.
ZipHandle OpenZip(const std::string& path, int flags, std::string& error);
// Writes the archive; throws PublisherError with libzip's reason when that fails (the handle then
// discards the half-written state).
void CloseZip(ZipHandle& archive, const std::string& path);
