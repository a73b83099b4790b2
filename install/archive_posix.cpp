// POSIX half of the package reader: libzip reads a stdio stream over a duplicate descriptor of the
// open package, so the archive sees exactly the file that was opened, not whatever its name means
// now.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "core/file_system.h"
#include "install/archive.h"

zip_source_t* OpenFileSource(const ReadOnlyFile& file, zip_error_t* error) {
    const int duplicate = ::fcntl(static_cast<int>(file.NativeHandle()), F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0) {
        zip_error_set(error, ZIP_ER_OPEN, 0);
        return nullptr;
    }
    std::FILE* stream = ::fdopen(duplicate, "rb");
    if (stream == nullptr) {
        ::close(duplicate);
        zip_error_set(error, ZIP_ER_OPEN, 0);
        return nullptr;
    }
    zip_source_t* source = zip_source_filep_create(stream, 0, -1, error);
    if (source == nullptr) {
        std::fclose(stream);
    }
    return source;
}
