#include <openssl/evp.h>

#include <vector>

#include "core/base64.h"

std::string Base64Encode(std::string_view bytes) {
    std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1);
    int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()));
    return std::string(reinterpret_cast<const char*>(out.data()), n > 0 ? n : 0);
}

std::string Base64Decode(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) {
        return {};
    }
    std::vector<unsigned char> out(3 * (text.size() / 4) + 1);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0) {
        return {};
    }
    // EVP_DecodeBlock keeps the zero bytes that stand for padding; drop them.
    std::size_t length = static_cast<std::size_t>(n);
    if (text.back() == '=') --length;
    if (text[text.size() - 2] == '=') --length;
    return std::string(reinterpret_cast<const char*>(out.data()), length);
}
