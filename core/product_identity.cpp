#include "core/product_identity.h"

#include <cwctype>

#include "core/setup_log.h"
#include "core/text_conversion.h"

std::u16string ProductFromModulePath(const std::u16string& modulePath) {
    std::u16string path = modulePath;
    std::size_t n = path.size();
    bool dotSeen = false;
    // Scan back from the end: first drop everything up to and including the last dot, then lower
    // A-Z until a separator marks the start of the name. Index 0 is never examined.
    for (std::size_t i = n; i-- > 1;) {
        char16_t& unit = path[i];
        if (!dotSeen) {
            dotSeen = unit == u'.';
            unit = 0;
            continue;
        }
        if (unit >= u'A' && unit <= u'Z') {
            unit = static_cast<char16_t>(unit - u'A' + u'a');
        }
        if (unit == u'/' || unit == u'\\') {
            std::u16string name = path.substr(i + 1);
            return name.substr(0, name.find(char16_t(0)));
        }
    }
    return {};
}

namespace {
bool IsBlank(char16_t unit) {
    return std::iswspace(static_cast<wint_t>(unit)) != 0;
}

std::u16string Trim(const std::u16string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}
}  // namespace

std::u16string DetermineProductFrom(const std::u16string& modulePath,
                                    const std::optional<std::u16string>& embeddedText) {
    LOG_RECORD_WIDE(u"Process name " + modulePath);
    std::u16string fromPath = ProductFromModulePath(modulePath);
    if (embeddedText && !embeddedText->empty()) {
        LOG_RECORD_WIDE(u"Product via resource " + *embeddedText);
        std::u16string trimmed = Trim(*embeddedText);
        if (!trimmed.empty()) {
            return trimmed;
        }
    }
    if (!fromPath.empty()) {
        LOG_RECORD_WIDE(u"Product via process name " + fromPath);
        return fromPath;
    }
    return {};
}

std::u16string DetermineProduct() {
    return DetermineProductFrom(OwnModulePath(), EmbeddedProductText());
}
