// Brings a product's release index from the blob store and parses it.
#include "catalogue/index_retrieval.h"

#include "core/endpoints.h"
#include "net/http_transfer.h"

std::u16string ReleaseIndexPath(const std::u16string& product) {
    return product + u"-v2/index";
}

ProductCatalog FetchReleaseIndex(const std::u16string& product, std::string& error) {
    std::string body;
    if (!HttpGetText(DownloadHost.host, ReleaseIndexPath(product), body, 0, 0, DownloadHost.secure,
                     DownloadHost.port))
        return ProductCatalog();
    std::string parseError;
    ProductCatalog catalog = JsonValue::Parse(body, &parseError);
    if (!parseError.empty()) error = parseError;
    return catalog;
}
