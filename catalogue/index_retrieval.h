#pragma once
#include <string>

#include "catalogue/release_index.h"

// The object path of a product's release index: product + "-v2/index".
std::u16string ReleaseIndexPath(const std::u16string& product);

// Fetches and parses the product's release index from DownloadHost; null when it could not be
// fetched or is no valid JSON (then the parser's message is in error).
ProductCatalog FetchReleaseIndex(const std::u16string& product, std::string& error);
