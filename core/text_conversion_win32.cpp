// UTF-8 <-> UTF-16 through the system's converters, without flags: invalid input becomes U+FFFD.
// The whole text is converted (embedded zero units included) and the result ends at the first
// zero character.
#include <climits>

#include "core/text_conversion.h"
#include "core/win32_support.h"

std::string ToUtf8(std::u16string_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) {
        return {};
    }
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return {};
    }
    std::string out(static_cast<std::size_t>(needed), '\0');
    const int written =
        WideCharToMultiByte(CP_UTF8, 0, wide, length, out.data(), needed, nullptr, nullptr);
    if (written <= 0) {
        return {};
    }
    out.resize(static_cast<std::size_t>(written));
    return out.substr(0, out.find('\0'));
}

std::u16string ToUtf16(std::string_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) {
        return {};
    }
    std::u16string out(static_cast<std::size_t>(needed), u'\0');
    const int written = MultiByteToWideChar(CP_UTF8, 0, text.data(), length,
                                            reinterpret_cast<wchar_t*>(out.data()), needed);
    if (written <= 0) {
        return {};
    }
    out.resize(static_cast<std::size_t>(written));
    return out.substr(0, out.find(u'\0'));
}
