#include <unistd.h>

#include <vector>

#include "core/product_identity.h"
#include "core/text_conversion.h"

#ifndef SETUP_LAUNCHER_PRODUCT_TEXT
#define SETUP_LAUNCHER_PRODUCT_TEXT ""
#endif

std::u16string OwnModulePath() {
    std::vector<char> buffer(4096);
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) {
        return {};
    }
    return ToUtf16(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
}

std::optional<std::u16string> EmbeddedProductText() {
    std::u16string text = ToUtf16(SETUP_LAUNCHER_PRODUCT_TEXT);
    if (text.empty()) {
        return std::nullopt;
    }
    return text;
}
