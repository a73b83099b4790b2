#pragma once
// The names a publication puts into the index and the blob store, and the rules they must follow
// so that the store accepts them and the launcher can use them unchanged in object paths (it
// neither escapes nor changes their case) and in local file names.
#include <string>

// Product identifier: lower-case letters, digits and single hyphens, so that product + "-v2" is a
// valid container name.
bool IsValidProductName(const std::string& product);
// Blob container: 3 to 63 lower-case letters, digits and hyphens, starting and ending with a
// letter or digit, no two hyphens in a row.
bool IsValidContainerName(const std::string& name);
// Release key: decimal numbers separated by dots ("2024.1").
bool IsValidReleaseKey(const std::string& key);
// Language edition: a locale name such as "de-DE" or "en-US".
bool IsValidLanguageCode(const std::string& code);
// Object and file name: letters, digits, ".", "_", "-" and "+", neither "." nor "..".
bool IsValidObjectName(const std::string& name);
// 32 (MD5) or 64 (SHA-256) lower-case hex digits.
bool IsLowerHexDigest(const std::string& text, std::size_t length);

// The container that holds a product's index: product + "-v2".
std::string IndexContainer(const std::string& product);
// The index object path: product + "-v2/index".
std::string IndexObjectPath(const std::string& product);
// Default name of a release file: product-key[-language].zip for "arc", .iso for "iso".
std::string DefaultReleaseFileName(const std::string& product, const std::string& key,
                                   const std::string& language, const std::string& filetype);
// Name of the block digest list beside a release file.
std::string DigestListName(const std::string& filename);
