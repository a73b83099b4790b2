#include "core/safe_text.h"

#include <cstdint>
#include <cstdio>

namespace {

// Length of the UTF-8 sequence at text[at] and its code point; 0 when the bytes are no valid
// sequence (overlong forms, surrogates and values above U+10FFFF included).
std::size_t DecodeUtf8(std::string_view text, std::size_t at, char32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if ((lead & 0xe0) == 0xc0) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1f;
    } else if ((lead & 0xf0) == 0xe0) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0f;
    } else if ((lead & 0xf8) == 0xf0) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xc0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (next & 0x3f);
    }
    if (codePoint < minimum || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff))
        return 0;
    return length;
}

bool NeedsEscape(char32_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029 || c == 0x200e ||
           c == 0x200f || c == 0x061c;
}

}  // namespace

std::string SafeText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char escape[16];
    for (std::size_t at = 0; at < text.size();) {
        char32_t c = 0;
        const std::size_t length = DecodeUtf8(text, at, c);
        if (length == 0) {
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[at]));
            out += escape;
            ++at;
            continue;
        }
        if (!NeedsEscape(c)) {
            out.append(text.substr(at, length));
        } else if (c < 0x80) {
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(c));
            out += escape;
        } else {
            std::snprintf(escape, sizeof escape, "\\u{%04x}", static_cast<unsigned>(c));
            out += escape;
        }
        at += length;
    }
    return out;
}

std::string BoundedText(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return std::string(text);
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + "...";
}

std::size_t DisplayWidth(std::string_view text) {
    std::size_t width = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xc0) != 0x80) ++width;
    }
    return width;
}
