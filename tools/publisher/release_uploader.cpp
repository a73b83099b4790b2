#include "tools/publisher/release_uploader.h"

#include "tools/publisher/publisher_error.h"

UploadResult UploadStaged(const UploadRequest&) {
    throw PublisherError("upload is not available yet");
}
