// Base64 through Crypt32. Crypt32 is lenient about what it decodes (line breaks, blanks, missing
// padding), so the text is checked first: only the standard alphabet in whole groups of four,
// with at most two padding characters at the end, decodes.
#include <windows.h>

#include <wincrypt.h>

#include <vector>

#include "core/base64.h"
#include "core/win32_support.h"

namespace {
bool IsBase64Digit(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

bool IsStrictBase64(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) {
        return false;
    }
    std::size_t padding = 0;
    while (padding < 2 && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        if (!IsBase64Digit(text[i])) {
            return false;
        }
    }
    return true;
}
}  // namespace

std::string Base64Encode(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > 0x40000000) {
        return {};
    }
    const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
    const DWORD length = static_cast<DWORD>(bytes.size());
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD size = 0;
    if (CryptBinaryToStringA(data, length, flags, nullptr, &size) == FALSE || size == 0) {
        return {};
    }
    std::vector<char> text(size, '\0');
    if (CryptBinaryToStringA(data, length, flags, text.data(), &size) == FALSE) {
        return {};
    }
    // size now counts the characters without the terminating zero.
    return std::string(text.data(), size);
}

std::string Base64Decode(std::string_view text) {
    if (!IsStrictBase64(text) || text.size() > 0x40000000) {
        return {};
    }
    const DWORD length = static_cast<DWORD>(text.size());
    DWORD size = 0;
    if (CryptStringToBinaryA(text.data(), length, CRYPT_STRING_BASE64, nullptr, &size, nullptr,
                             nullptr) == FALSE) {
        return {};
    }
    std::vector<BYTE> bytes(size);
    if (size > 0 && CryptStringToBinaryA(text.data(), length, CRYPT_STRING_BASE64, bytes.data(),
                                         &size, nullptr, nullptr) == FALSE) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(bytes.data()), size);
}
