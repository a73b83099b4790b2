#include "net/blob_store.h"

#include <utility>

#include "net/object_path.h"

std::u16string BlobStore::ObjectPath(std::string_view container, std::string_view name) {
    return BlobObjectPath(container, name);
}

HttpCall BlobStore::ObjectCall(std::string_view container, std::string_view name,
                               std::optional<ByteRange> range, std::uint64_t maxBody) const {
    HttpCall call;
    call.endpoint = mEndpoint;
    call.path = ObjectPath(container, name);
    call.range = range;
    call.maxBody = maxBody;
    return call;
}

bool BlobStore::GetText(std::string_view container, std::string_view name, std::string& out,
                        std::uint64_t maxBody) const {
    return PerformHttpCall(ObjectCall(container, name, std::nullopt, maxBody), AppendBody(out));
}

bool BlobStore::Get(std::string_view container, std::string_view name, const ResponseReader& reader,
                    std::uint64_t maxBody) const {
    return PerformHttpCall(ObjectCall(container, name, std::nullopt, maxBody), reader);
}

BlobStore ReleaseStore() {
    return BlobStore(DownloadHost);
}
