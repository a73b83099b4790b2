#pragma once
// The only conversions between the launcher's two text forms: UTF-16 for paths, window texts and
// the product identifier, UTF-8 for everything that comes from or goes to the network, JSON, the
// log and exception messages. Invalid input becomes U+FFFD; an embedded zero ends the result.
#include <string>
#include <string_view>

std::string ToUtf8(std::u16string_view text);
std::u16string ToUtf16(std::string_view text);
