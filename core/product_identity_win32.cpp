// The launcher's own path from the system, and the embedded product text from string resource
// 10000 of the program's resources (absent when the build gave no product text).
#include <vector>

#include "core/product_identity.h"
#include "core/win32_support.h"

namespace {
constexpr UINT kProductStringId = 10000;
constexpr DWORD kModulePathUnits = 521;
constexpr DWORD kLongestPathUnits = 32768;
}  // namespace

std::u16string OwnModulePath() {
    // A path longer than the usual buffer is asked for again with more room rather than taken
    // cut off: a cut name would name another product.
    for (DWORD size = kModulePathUnits; size <= kLongestPathUnits; size *= 2) {
        std::vector<wchar_t> buffer(size, L'\0');
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0) {
            return {};
        }
        if (length < size) {
            return FromWide(buffer.data(), length);
        }
    }
    return {};
}

std::optional<std::u16string> EmbeddedProductText() {
    // With a buffer size of 0 the call hands out the resource's own text (not terminated).
    const wchar_t* text = nullptr;
    const int length = LoadStringW(GetModuleHandleW(nullptr), kProductStringId,
                                   reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) {
        return std::nullopt;
    }
    return FromWide(text, static_cast<std::size_t>(length));
}
