// Brings a product's release index from the blob store, checks its signature when the build
// trusts signing keys, and parses it.
#include "catalogue/index_retrieval.h"

#include <optional>

#include "core/base64.h"
#include "core/endpoints.h"
#include "core/index_signature.h"
#include "core/text_conversion.h"
#include "net/blob_store.h"
#include "net/http_transfer.h"

namespace {

ProductCatalog ParseIndex(const std::string& body, std::string& error) {
    std::string parseError;
    ProductCatalog catalog = JsonValue::Parse(body, &parseError);
    if (!parseError.empty()) error = parseError;
    return catalog;
}

// The text of "index.sig", read up to one byte past its limit: anything longer is no signature
// and is not read further. nullopt when it could not be fetched.
std::optional<std::string> FetchSignatureText(const std::u16string& product) {
    std::string text;
    const ResponseReader reader = [&text](ResponseBody& body) {
        text.clear();
        char buffer[512];
        while (text.size() <= kIndexSignatureTextLimit) {
            const std::size_t n = body.Read(buffer, sizeof buffer);
            if (n == 0) break;
            text.append(buffer, n);
        }
        return true;
    };
    if (!ReleaseStore().Get(ToUtf8(product) + "-v2", "index.sig", reader)) return std::nullopt;
    return text;
}

std::string_view Trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

std::u16string ReleaseIndexPath(const std::u16string& product) {
    return BlobStore::ObjectPath(ToUtf8(product) + "-v2", "index");
}

std::u16string ReleaseIndexSignaturePath(const std::u16string& product) {
    return BlobStore::ObjectPath(ToUtf8(product) + "-v2", "index.sig");
}

ProductCatalog FetchReleaseIndex(const std::u16string& product, std::string& error) {
    SignatureOutcome outcome;
    return FetchReleaseIndex(product, error, {}, outcome);
}

ProductCatalog FetchReleaseIndex(const std::u16string& product, std::string& error,
                                 const std::vector<std::string>& trustedKeys,
                                 SignatureOutcome& outcome) {
    outcome = SignatureOutcome();
    std::string body;
    if (!ReleaseStore().GetText(ToUtf8(product) + "-v2", "index", body, kMaxIndexSize))
        return ProductCatalog();
    if (trustedKeys.empty()) return ParseIndex(body, error);

    const std::optional<std::string> text = FetchSignatureText(product);
    if (!text) {
        outcome.check = IndexSignatureCheck::Missing;
        return ProductCatalog();
    }
    const std::optional<std::string> signature =
        text->size() > kIndexSignatureTextLimit ? std::nullopt : DecodeIndexSignatureText(*text);
    if (!signature) {
        outcome.check = IndexSignatureCheck::Malformed;
        return ProductCatalog();
    }
    for (std::size_t i = 0; i < trustedKeys.size(); ++i) {
        if (VerifyIndexSignature(body, *signature, trustedKeys[i])) {
            outcome.check = IndexSignatureCheck::Verified;
            outcome.key = i;
            return ParseIndex(body, error);
        }
    }
    outcome.check = IndexSignatureCheck::Mismatch;
    return ProductCatalog();
}

std::vector<std::string> ParseIndexKeyList(std::string_view text) {
    std::vector<std::string> keys;
    while (!text.empty()) {
        const std::size_t end = text.find(';');
        const std::string_view entry = Trimmed(text.substr(0, end));
        if (!entry.empty()) keys.push_back(Base64Decode(entry));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return keys;
}
