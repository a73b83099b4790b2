// Brings a product's release index from the blob store, checks its signed statement when the
// build trusts signing keys, and parses it.
#include "catalogue/index_retrieval.h"

#include <optional>

#include "catalogue/accepted_sequence.h"
#include "core/base64.h"
#include "core/endpoints.h"
#include "core/hash_context.h"
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
// and is not read further. status receives how the download ended.
bool FetchSignatureText(const std::u16string& product, std::string& text, int& status) {
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
    HttpOutcome outcome;
    const bool fetched = PerformHttpCall(
        ReleaseStore().ObjectCall(ToUtf8(product) + "-v2", "index.sig"), reader, &outcome);
    status = outcome.status.value_or(0);
    return fetched;
}

// Which trusted key signed the statement; nullopt when none did.
std::optional<std::size_t> VerifyingKey(const SignedIndexStatement& signedStatement,
                                        const std::vector<std::string>& trustedKeys) {
    for (std::size_t i = 0; i < trustedKeys.size(); ++i) {
        if (VerifyIndexSignature(signedStatement.statement, signedStatement.signature,
                                 trustedKeys[i])) {
            return i;
        }
    }
    return std::nullopt;
}

// What a verified statement says about this index now, before this user's record is asked.
IndexSignatureCheck CheckStatement(const IndexStatement& statement, const std::string& product,
                                   const std::string& index, std::int64_t now) {
    if (statement.product != product) return IndexSignatureCheck::OtherProduct;
    if (statement.indexSha256 != HashText(index, "SHA256", true))
        return IndexSignatureCheck::Changed;
    if (statement.expires && *statement.expires <= now) return IndexSignatureCheck::Expired;
    return IndexSignatureCheck::Verified;
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
    return FetchReleaseIndex(product, error, {}, outcome, 0);
}

ProductCatalog FetchReleaseIndex(const std::u16string& product, std::string& error,
                                 const std::vector<std::string>& trustedKeys,
                                 SignatureOutcome& outcome, std::int64_t now) {
    outcome = SignatureOutcome();
    std::string body;
    if (!ReleaseStore().GetText(ToUtf8(product) + "-v2", "index", body, kMaxIndexSize))
        return ProductCatalog();
    if (trustedKeys.empty()) return ParseIndex(body, error);

    std::string text;
    int status = 0;
    if (!FetchSignatureText(product, text, status)) {
        outcome.check =
            status == 404 ? IndexSignatureCheck::Missing : IndexSignatureCheck::Unavailable;
        return ProductCatalog();
    }
    const std::optional<SignedIndexStatement> signedStatement = DecodeIndexSignatureText(text);
    if (!signedStatement) {
        outcome.check = IndexSignatureCheck::Malformed;
        return ProductCatalog();
    }
    const std::optional<std::size_t> key = VerifyingKey(*signedStatement, trustedKeys);
    if (!key) {
        outcome.check = IndexSignatureCheck::Mismatch;
        return ProductCatalog();
    }
    // Signed, but not in the statement's form: nothing a publisher of ours writes.
    const std::optional<IndexStatement> statement = ParseIndexStatement(signedStatement->statement);
    if (!statement) {
        outcome.check = IndexSignatureCheck::Malformed;
        return ProductCatalog();
    }
    const std::string productUtf8 = ToUtf8(product);
    outcome.key = *key;
    outcome.statement = *statement;
    outcome.check = CheckStatement(*statement, productUtf8, body, now);
    if (outcome.check != IndexSignatureCheck::Verified) return ProductCatalog();
    outcome.accepted = ReadAcceptedSequence(productUtf8);
    if (statement->sequence < outcome.accepted) {
        outcome.check = IndexSignatureCheck::Replayed;
        return ProductCatalog();
    }

    ProductCatalog catalog = ParseIndex(body, error);
    if (!catalog.IsNull() && statement->sequence > outcome.accepted) {
        RememberAcceptedSequence(productUtf8, statement->sequence);
    }
    return catalog;
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
