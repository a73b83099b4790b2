// Placeholder until the HTTP transfer exists: no index can be fetched yet.
#include "catalogue/index_retrieval.h"

std::u16string ReleaseIndexPath(const std::u16string& product) { return product + u"-v2/index"; }

ProductCatalog FetchReleaseIndex(const std::u16string&, std::string&) { return ProductCatalog(); }
