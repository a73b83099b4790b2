#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/release_index.h"
#include "core/index_signature.h"

// The largest release index the launcher accepts (16 MiB, after any content decoding). An index
// lists a product's releases in a few kilobytes; a larger body is no index, and reading it would
// only cost memory. Past it the transfer's attempt fails like any other.
inline constexpr std::uint64_t kMaxIndexSize = 16ull * 1024 * 1024;

// The object path of a product's release index: product + "-v2/index", its segments escaped.
std::u16string ReleaseIndexPath(const std::u16string& product);
// The object path of its signature beside it: product + "-v2/index.sig".
std::u16string ReleaseIndexSignaturePath(const std::u16string& product);

// Fetches and parses the product's release index from DownloadHost; null when it could not be
// fetched or is no valid JSON (then the parser's message is in error).
ProductCatalog FetchReleaseIndex(const std::u16string& product, std::string& error);

// What the check of a release index's signed statement found.
enum class IndexSignatureCheck {
    NotRequired,   // no trusted key: "index.sig" was not requested
    Verified,      // a trusted key signed a statement that holds for this index
    Missing,       // the store has no "index.sig" (404 after all attempts)
    Unavailable,   // "index.sig" could not be downloaded (no answer, or an error status)
    Malformed,     // "index.sig" is no base64 of a statement and a 64-byte signature
    Mismatch,      // no trusted key verifies the statement with that signature
    OtherProduct,  // the statement names another product
    Changed,       // the statement holds another SHA-256 than the index's
    Expired,       // the statement's expiry has passed
    Replayed,      // the statement's sequence is lower than this user already accepted
};

struct SignatureOutcome {
    IndexSignatureCheck check = IndexSignatureCheck::NotRequired;
    std::size_t key = 0;         // from Verified on: the position of the verifying key in the list
    IndexStatement statement;    // from OtherProduct on: the signed statement
    std::uint64_t accepted = 0;  // with Replayed and Verified: the sequence remembered before
};

// As above; with trusted keys (DER SubjectPublicKeyInfo, see core/index_signature.h) the index
// is fetched, then "index.sig" through the same transfer and attempts. The index is parsed only
// when one of the keys verifies the statement in "index.sig" and the statement names this
// product, holds the SHA-256 of the index's exact bytes, has not expired at now (UTC seconds) and
// has a sequence not lower than the one this user accepted last (catalogue/accepted_sequence.h);
// then a higher sequence is remembered. Otherwise the result is null, nothing is remembered and
// outcome says why. With no keys this is the unsigned fetch above and "index.sig" is never
// requested.
ProductCatalog FetchReleaseIndex(const std::u16string& product, std::string& error,
                                 const std::vector<std::string>& trustedKeys,
                                 SignatureOutcome& outcome, std::int64_t now);

// The keys of a ';'-separated list of base64 DER public keys (blanks around entries ignored; an
// entry that does not decode stays in the list as an empty key, which verifies nothing).
std::vector<std::string> ParseIndexKeyList(std::string_view text);
