#pragma once
// Signed release indexes on the publishing side: a new signing key, the signed statement
// "index.sig" about a staged or uploaded index (its product, publication sequence, optional expiry
// and SHA-256), and the check of a published statement against a public key. The forms are the
// launcher's (core/index_signature.h): ECDSA P-256 over SHA-256 of the statement's bytes.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/index_signature.h"
#include "tools/publisher/object_source.h"
#include "tools/publisher/release_uploader.h"

class BlobStoreClient;

inline constexpr const char* kIndexSignatureName = "index.sig";

// Writes a new P-256 private key as PKCS#8 PEM to file with mode 0600 and returns its public key
// as the one-line base64 DER text that SETUP_LAUNCHER_INDEX_KEYS takes. Throws PublisherError,
// also when file already exists (a key is never overwritten).
std::string GenerateSigningKey(const std::filesystem::path& file);

// A private signing key read from its PEM file.
class IndexSigner {
  public:
    // Throws PublisherError when the file cannot be read or holds no P-256 private key.
    explicit IndexSigner(const std::filesystem::path& keyFile);
    ~IndexSigner();
    IndexSigner(const IndexSigner&) = delete;
    IndexSigner& operator=(const IndexSigner&) = delete;

    // The public key as base64 DER text.
    std::string PublicKeyText() const;
    // The text of "index.sig": the statement and its signature (checked here before it is
    // returned).
    std::string SignatureText(const IndexStatement& statement) const;

    struct Key;

  private:
    std::unique_ptr<Key> mKey;
};

// The statement about index bytes for a new publication: the sequence is the larger of the
// previous publication's plus one and now (UTC seconds), so it grows with every publication
// even when the previous one is not known; expiresDays days after now when given.
IndexStatement NewIndexStatement(const std::string& product, std::string_view index,
                                 std::optional<std::uint64_t> previousSequence, std::int64_t now,
                                 std::optional<unsigned> expiresDays);

// The sequence of the statement in an "index.sig" text, read without checking its signature (a
// publisher only goes higher with it); nullopt when it holds no statement.
std::optional<std::uint64_t> StatementSequence(std::string_view signatureText);

// The DER bytes of a public key given on the command line: its base64 DER text, or a file that
// holds that text or the key in PEM form. Throws PublisherError for anything that is no P-256
// public key.
std::string ReadPublicKey(const std::string& argument);

// The check of a product's published "index.sig" against one public key.
struct SignatureCheck {
    bool valid = false;
    std::string message;  // what was found, for the report
};
SignatureCheck CheckIndexSignature(ObjectSource& source, const std::string& product,
                                   std::string_view publicKeyDer);

// release: after the staged index changed, signs it into "index.sig" beside it with the signer
// (the sequence above the staged statement's); without one, removes a staged "index.sig", which
// no longer matches. Returns notes.
std::vector<std::string> UpdateStagedSignature(const std::filesystem::path& indexFile,
                                               const std::string& product,
                                               const IndexSigner* signer,
                                               std::optional<unsigned> expiresDays);

// upload, before anything goes up: what goes to "index.sig" after the index. Signed now when the
// request has a signer (the sequence above the store's current statement's), else the staged
// "index.sig" when release left one. Throws PublisherError when the store's index.sig cannot be
// read, when a staged statement is older than the store's, and when the index would go up
// without a signature beside an "index.sig" in the store, unless the request says unsigned.
struct PlannedSignature {
    std::optional<std::string> text;  // what to put; nullopt: none
    bool removeStored = false;        // the store's index.sig is deleted after the index
};
PlannedSignature PlanIndexSignature(BlobStoreClient& client, const UploadRequest& request,
                                    const std::string& indexText);

// upload: right after the index, carries out the plan. Throws PublisherError when the store
// refuses it.
void UploadIndexSignature(BlobStoreClient& client, const UploadRequest& request,
                          const PlannedSignature& plan, UploadResult& result);
