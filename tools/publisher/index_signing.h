#pragma once
// Signed release indexes on the publishing side: a new signing key, the signature "index.sig"
// over the exact bytes of a staged or uploaded index, and the check of a published signature
// against a public key. The signature form is the launcher's (core/index_signature.h): ECDSA
// P-256 over SHA-256, 64 bytes r || s, stored as base64 text.
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
    // The text of "index.sig" for these index bytes: base64 of r || s, no line end.
    std::string SignatureText(std::string_view index) const;

    struct Key;

  private:
    std::unique_ptr<Key> mKey;
};

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

// release: after the staged index changed, signs it into "index.sig" beside it with the signer;
// without one, removes a staged "index.sig", which no longer matches. Returns notes.
std::vector<std::string> UpdateStagedSignature(const std::filesystem::path& indexFile,
                                               const IndexSigner* signer);

// upload: right after the index, puts "index.sig" beside it: signed now when the request has a
// signer, else the staged "index.sig" when release left one. Throws PublisherError when the
// store refuses it.
void UploadIndexSignature(BlobStoreClient& client, const UploadRequest& request,
                          const std::string& indexText, UploadResult& result);
