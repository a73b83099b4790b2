// Windows half of the package reader: libzip reads a duplicate handle of the open package, so the
// archive sees exactly the file that was opened, not whatever its name means now.
#include <windows.h>

#include "core/file_system.h"
#include "core/win32_support.h"
#include "install/archive.h"

zip_source_t* OpenFileSource(const ReadOnlyFile& file, zip_error_t* error) {
    HANDLE duplicate = nullptr;
    const HANDLE process = GetCurrentProcess();
    if (DuplicateHandle(process, reinterpret_cast<HANDLE>(file.NativeHandle()), process, &duplicate,
                        0, FALSE, DUPLICATE_SAME_ACCESS) == FALSE) {
        zip_error_set(error, ZIP_ER_OPEN, 0);
        return nullptr;
    }
    zip_source_t* source = zip_source_win32handle_create(duplicate, 0, -1, error);
    if (source == nullptr) {
        CloseHandle(duplicate);
    }
    return source;
}
