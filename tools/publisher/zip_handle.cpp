#include "tools/publisher/zip_handle.h"

#include "tools/publisher/publisher_error.h"

ZipHandle OpenZip(const std::string& path, int flags, std::string& error) {
    int code = 0;
    ZipHandle archive(zip_open(path.c_str(), flags, &code));
    if (!archive) {
        zip_error_t reason;
        zip_error_init_with_code(&reason, code);
        error = zip_error_strerror(&reason);
        zip_error_fini(&reason);
    }
    return archive;
}

void CloseZip(ZipHandle& archive, const std::string& path) {
    if (zip_close(archive.get()) != 0) {
        throw PublisherError("cannot write " + path + ": " + zip_strerror(archive.get()));
    }
    archive.release();  // zip_close has freed it
}
