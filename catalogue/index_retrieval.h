#pragma once
#include <cstdint>
#include <string>

#include "catalogue/release_index.h"

// The largest release index the launcher accepts (16 MiB, after any content decoding). An index
// lists a product's releases in a few kilobytes; a larger body is no index, and reading it would
// only cost memory. Past it the transfer's attempt fails like any other.
inline constexpr std::uint64_t kMaxIndexSize = 16ull * 1024 * 1024;

// The object path of a product's release index: product + "-v2/index", its segments escaped.
std::u16string ReleaseIndexPath(const std::u16string& product);

// Fetches and parses the product's release index from DownloadHost; null when it could not be
// fetched or is no valid JSON (then the parser's message is in error).
ProductCatalog FetchReleaseIndex(const std::u16string& product, std::string& error);
