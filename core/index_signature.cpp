// The forms around an index signature, written once; the curve arithmetic is the platform's.
#include "core/index_signature.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <vector>

#include "core/base64.h"

namespace {

// DER SubjectPublicKeyInfo of a P-256 key up to its point: SEQUENCE { SEQUENCE { OID
// id-ecPublicKey, OID prime256v1 }, BIT STRING { 0 unused bits, 0x04 (uncompressed) ... } }.
// DER has one encoding for each value, so every key of this form starts with exactly these bytes.
constexpr unsigned char kP256KeyPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

constexpr std::string_view kStatementHeader = "setup-launcher index statement 1";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

bool IsLowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// The value of a line "<name> <value>"; nullopt when the line has another name.
std::optional<std::string_view> ValueOf(std::string_view line, std::string_view name) {
    if (line.size() <= name.size() || line.substr(0, name.size()) != name ||
        line[name.size()] != ' ') {
        return std::nullopt;
    }
    return line.substr(name.size() + 1);
}

// A decimal number without sign or leading zeros that fits 64 bits.
std::optional<std::uint64_t> DecimalOf(std::optional<std::string_view> text) {
    if (!text || text->empty() || (text->size() > 1 && text->front() == '0')) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const char* const end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, value);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
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

std::string IndexStatementText(const IndexStatement& statement) {
    std::string text = std::string(kStatementHeader) + "\n";
    text += "product " + statement.product + "\n";
    text += "sequence " + std::to_string(statement.sequence) + "\n";
    if (statement.expires) {
        text += "expires " + std::to_string(*statement.expires) + "\n";
    }
    text += "sha256 " + statement.indexSha256 + "\n";
    return text;
}

std::optional<IndexStatement> ParseIndexStatement(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            return std::nullopt;  // every line ends with its line feed
        }
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    if ((lines.size() != 4 && lines.size() != 5) || lines[0] != kStatementHeader) {
        return std::nullopt;
    }
    IndexStatement statement;
    const std::optional<std::string_view> product = ValueOf(lines[1], "product");
    if (!product || product->empty() || product->size() > kIndexProductNameLimit ||
        std::any_of(product->begin(), product->end(), IsControl)) {
        return std::nullopt;
    }
    statement.product = std::string(*product);
    const std::optional<std::uint64_t> sequence = DecimalOf(ValueOf(lines[2], "sequence"));
    if (!sequence) {
        return std::nullopt;
    }
    statement.sequence = *sequence;
    if (lines.size() == 5) {
        const std::optional<std::uint64_t> expires = DecimalOf(ValueOf(lines[3], "expires"));
        if (!expires || *expires > static_cast<std::uint64_t>(INT64_MAX)) {
            return std::nullopt;
        }
        statement.expires = static_cast<std::int64_t>(*expires);
    }
    const std::optional<std::string_view> digest = ValueOf(lines.back(), "sha256");
    if (!digest || digest->size() != 64 ||
        !std::all_of(digest->begin(), digest->end(), IsLowerHex)) {
        return std::nullopt;
    }
    statement.indexSha256 = std::string(*digest);
    return statement;
}

std::optional<SignedIndexStatement> DecodeIndexSignatureText(std::string_view text) {
    if (text.size() > kIndexSignatureTextLimit) {
        return std::nullopt;
    }
    std::string base64;
    for (const char c : text) {
        if (!IsBlank(c)) {
            base64 += c;
        }
    }
    const std::string bytes = Base64Decode(base64);
    if (bytes.size() <= kIndexSignatureSize) {
        return std::nullopt;
    }
    const std::size_t statementSize = bytes.size() - kIndexSignatureSize;
    return SignedIndexStatement{bytes.substr(0, statementSize), bytes.substr(statementSize)};
}

std::string IndexSignatureText(std::string_view statement, std::string_view signature) {
    const std::string base64 = Base64Encode(std::string(statement) + std::string(signature));
    std::string text;
    for (std::size_t at = 0; at < base64.size(); at += 76) {
        text += base64.substr(at, 76) + "\n";
    }
    return text;
}

bool VerifyIndexSignature(std::string_view data, std::string_view signature,
                          std::string_view publicKeyDer) {
    if (signature.size() != kIndexSignatureSize) {
        return false;
    }
    const std::optional<std::string> point = P256PublicPoint(publicKeyDer);
    return point && VerifyP256Signature(data, signature, *point);
}
