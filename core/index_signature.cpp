// The forms around an index signature, written once; the curve arithmetic is the platform's.
#include "core/index_signature.h"

#include "core/base64.h"

namespace {

// DER SubjectPublicKeyInfo of a P-256 key up to its point: SEQUENCE { SEQUENCE { OID
// id-ecPublicKey, OID prime256v1 }, BIT STRING { 0 unused bits, 0x04 (uncompressed) ... } }.
// DER has one encoding for each value, so every key of this form starts with exactly these bytes.
constexpr unsigned char kP256KeyPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

std::optional<std::string> P256PublicPoint(std::string_view publicKeyDer) {
    constexpr std::size_t kPrefixSize = sizeof kP256KeyPrefix;
    if (publicKeyDer.size() != kPrefixSize + kP256PointSize) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < kPrefixSize; ++i) {
        if (static_cast<unsigned char>(publicKeyDer[i]) != kP256KeyPrefix[i]) {
            return std::nullopt;
        }
    }
    return std::string(publicKeyDer.substr(kPrefixSize));
}

std::optional<std::string> DecodeIndexSignatureText(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    // 64 bytes are 88 base64 characters; checking the length first keeps large input away from
    // the decoder.
    if (text.size() != 88) {
        return std::nullopt;
    }
    std::string signature = Base64Decode(text);
    if (signature.size() != kIndexSignatureSize) {
        return std::nullopt;
    }
    return signature;
}

bool VerifyIndexSignature(std::string_view data, std::string_view signature,
                          std::string_view publicKeyDer) {
    if (signature.size() != kIndexSignatureSize) {
        return false;
    }
    const std::optional<std::string> point = P256PublicPoint(publicKeyDer);
    return point && VerifyP256Signature(data, signature, *point);
}
