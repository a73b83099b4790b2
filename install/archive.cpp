#include "install/archive.h"

#include "core/text_conversion.h"

void ArchiveCloser::operator()(zip_t* archive) const noexcept {
    // Nothing is ever written to a package: discarding releases it without touching the file.
    zip_discard(archive);
}

ArchiveHandle OpenArchive(const std::u16string& path) {
    int error = 0;
    // libzip takes UTF-8 file names on every platform.
    zip_t* archive = zip_open(ToUtf8(path).c_str(), ZIP_RDONLY, &error);
    return ArchiveHandle(archive);
}

ArchiveHandle OpenArchive(const ReadOnlyFile& file) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = OpenFileSource(file, &error);
    zip_t* archive = source == nullptr ? nullptr : zip_open_from_source(source, ZIP_RDONLY, &error);
    if (archive == nullptr && source != nullptr) {
        // Not taken over by an archive: freeing it closes the duplicate.
        zip_source_free(source);
    }
    zip_error_fini(&error);
    return ArchiveHandle(archive);
}

void CloseArchive(ArchiveHandle& handle) {
    handle.reset();
}

bool LocateMember(zip_t* archive, const std::string& name, zip_uint64_t& index) {
    if (archive == nullptr) {
        return false;
    }
    const zip_int64_t found = zip_name_locate(archive, name.c_str(), ZIP_FL_NOCASE);
    if (found < 0) {
        return false;
    }
    index = static_cast<zip_uint64_t>(found);
    return true;
}
