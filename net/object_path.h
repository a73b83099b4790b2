#pragma once
// Request paths of objects in the blob store. An object name may hold blanks, "#", "%", "?" or
// non-ASCII letters ("CAD Setup 2024.zip"); sent as they are, such a name is refused by the
// transport or cut at the "#" or "?" into another object. Every path segment is therefore
// percent-encoded (its UTF-8 bytes, everything but the unreserved characters), as the store
// expects; the "/" between segments stays.
#include <string>
#include <string_view>

// Percent-encodes everything but unreserved characters (A-Z a-z 0-9 - _ . ~), and "/" when
// keepSlash.
std::string PercentEncode(std::string_view text, bool keepSlash);

// container + "/" + name, each segment of both encoded: the path HttpGetText is given for an
// object of the blob store.
std::u16string BlobObjectPath(std::string_view container, std::string_view name);
