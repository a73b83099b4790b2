// Brings a product's release index from the blob store and parses it.
#include "catalogue/index_retrieval.h"

#include "core/endpoints.h"
#include "core/text_conversion.h"
#include "net/http_transfer.h"
#include "net/object_path.h"

std::u16string ReleaseIndexPath(const std::u16string& product) {
    return BlobObjectPath(ToUtf8(product) + "-v2", "index");
}

ProductCatalog FetchReleaseIndex(const std::u16string& product, std::string& error) {
    std::string body;
    if (!HttpGetText(DownloadHost.host, ReleaseIndexPath(product), body, 0, 0, DownloadHost.secure,
                     DownloadHost.port, kMaxIndexSize))
        return ProductCatalog();
    std::string parseError;
    ProductCatalog catalog = JsonValue::Parse(body, &parseError);
    if (!parseError.empty()) error = parseError;
    return catalog;
}
