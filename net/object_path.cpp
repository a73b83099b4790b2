#include "net/object_path.h"

#include "core/text_conversion.h"

namespace {
bool IsUnreserved(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == '~';
}
}  // namespace

std::string PercentEncode(std::string_view text, bool keepSlash) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (IsUnreserved(c) || (keepSlash && c == '/')) {
            out += c;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        out += '%';
        out += kHex[byte >> 4];
        out += kHex[byte & 15];
    }
    return out;
}

std::u16string BlobObjectPath(std::string_view container, std::string_view name) {
    return ToUtf16(PercentEncode(container, true) + "/" + PercentEncode(name, true));
}
