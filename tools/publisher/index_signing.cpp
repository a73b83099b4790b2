#include "tools/publisher/index_signing.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>

#include "core/base64.h"
#include "core/hash_context.h"
#include "core/index_signature.h"
#include "core/safe_text.h"
#include "core/unique_fd.h"
#include "tools/publisher/publication_names.h"
#include "tools/publisher/publisher_error.h"
#include "tools/publisher/release_builder.h"
#include "tools/store/store_client.h"

namespace fs = std::filesystem;

struct IndexSigner::Key {
    struct Deleter {
        void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    };
    std::unique_ptr<EVP_PKEY, Deleter> pkey;
};

namespace {

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct SigDeleter {
    void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};
using Bio = std::unique_ptr<BIO, BioDeleter>;

bool IsP256(EVP_PKEY* key) {
    char group[64] = {};
    std::size_t length = 0;
    return EVP_PKEY_is_a(key, "EC") == 1 &&
           EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                          &length) == 1 &&
           std::string(group, length) == "prime256v1";
}

// The DER SubjectPublicKeyInfo of a key; the point is encoded uncompressed, OpenSSL's default.
std::string PublicKeyDer(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    if (length <= 0) {
        return {};
    }
    std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

std::string ReadSmallFile(const fs::path& file, std::size_t limit) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw PublisherError("cannot read " + file.string());
    }
    std::string text;
    text.resize(limit + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > limit) {
        throw PublisherError(file.string() + " is larger than a key file can be");
    }
    return text;
}

std::string WithoutBlanks(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            out += c;
        }
    }
    return out;
}

// The base64 between the PEM lines of a public key, or the text itself.
std::string PublicKeyBase64(const std::string& text) {
    const std::string begin = "-----BEGIN PUBLIC KEY-----";
    const std::string end = "-----END PUBLIC KEY-----";
    const auto from = text.find(begin);
    if (from == std::string::npos) {
        return WithoutBlanks(text);
    }
    const auto to = text.find(end, from);
    return WithoutBlanks(text.substr(from + begin.size(), to == std::string::npos
                                                              ? std::string::npos
                                                              : to - from - begin.size()));
}

fs::path StagedSignatureFile(const fs::path& indexFile) {
    return indexFile.parent_path() / kIndexSignatureName;
}

}  // namespace

std::string GenerateSigningKey(const fs::path& file) {
    EVP_PKEY* generated = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    if (generated == nullptr) {
        throw PublisherError("cannot generate a P-256 key");
    }
    IndexSigner::Key key{std::unique_ptr<EVP_PKEY, IndexSigner::Key::Deleter>(generated)};
    Bio pem(BIO_new(BIO_s_mem()));
    if (!pem || PEM_write_bio_PrivateKey(pem.get(), key.pkey.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1) {
        throw PublisherError("cannot encode the new key");
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(pem.get(), &data);

    // Only the owner may read it, and an existing file (perhaps the key in use) stays untouched.
    UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.Get() < 0) {
        throw PublisherError(errno == EEXIST
                                 ? file.string() + " exists already; a key file is never replaced"
                                 : "cannot create " + file.string() + ": " + std::strerror(errno));
    }
    std::size_t written = 0;
    while (written < static_cast<std::size_t>(length)) {
        const ssize_t n =
            ::write(fd.Get(), data + written, static_cast<std::size_t>(length) - written);
        if (n <= 0) {
            throw PublisherError("cannot write " + file.string() + ": " + std::strerror(errno));
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.Get()) != 0 || !fd.Close()) {
        throw PublisherError("cannot write " + file.string() + ": " + std::strerror(errno));
    }
    return Base64Encode(PublicKeyDer(key.pkey.get()));
}

IndexSigner::IndexSigner(const fs::path& keyFile) : mKey(std::make_unique<Key>()) {
    const std::string text = ReadSmallFile(keyFile, 64 * 1024);
    Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    mKey->pkey.reset(key);
    if (!mKey->pkey || !IsP256(key)) {
        throw PublisherError(keyFile.string() +
                             " holds no P-256 private key in PEM form (setup-publisher keygen "
                             "writes one)");
    }
}

IndexSigner::~IndexSigner() = default;

std::string IndexSigner::PublicKeyText() const {
    return Base64Encode(PublicKeyDer(mKey->pkey.get()));
}

std::string IndexSigner::SignatureText(const IndexStatement& statement) const {
    const std::string bytes = IndexStatementText(statement);
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t length = 0;
    if (!ctx ||
        EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, mKey->pkey.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, data, bytes.size()) != 1) {
        throw PublisherError("cannot sign the index");
    }
    std::vector<unsigned char> der(length);
    if (EVP_DigestSign(ctx.get(), der.data(), &length, data, bytes.size()) != 1) {
        throw PublisherError("cannot sign the index");
    }
    // OpenSSL writes the DER form; the launcher takes r || s, 32 bytes each.
    const unsigned char* in = der.data();
    std::unique_ptr<ECDSA_SIG, SigDeleter> sig(
        d2i_ECDSA_SIG(nullptr, &in, static_cast<long>(length)));
    std::string raw(kIndexSignatureSize, '\0');
    auto* out = reinterpret_cast<unsigned char*>(raw.data());
    if (!sig || BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out, 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out + 32, 32) != 32) {
        throw PublisherError("cannot sign the index");
    }
    // What the launcher will read and check, read and checked here first.
    const std::string text = IndexSignatureText(bytes, raw);
    const std::optional<SignedIndexStatement> decoded = DecodeIndexSignatureText(text);
    if (!decoded || ParseIndexStatement(decoded->statement) != statement ||
        !VerifyIndexSignature(decoded->statement, decoded->signature,
                              PublicKeyDer(mKey->pkey.get()))) {
        throw PublisherError("the new signature does not verify (a product name of at most " +
                             std::to_string(kIndexProductNameLimit) +
                             " bytes without control characters is needed)");
    }
    return text;
}

IndexStatement NewIndexStatement(const std::string& product, std::string_view index,
                                 std::optional<std::uint64_t> previousSequence, std::int64_t now,
                                 std::optional<unsigned> expiresDays) {
    IndexStatement statement;
    statement.product = product;
    statement.sequence = now > 0 ? static_cast<std::uint64_t>(now) : 0;
    if (previousSequence && *previousSequence >= statement.sequence) {
        if (*previousSequence == UINT64_MAX) {
            throw PublisherError("the published sequence is at its end; no later one exists");
        }
        statement.sequence = *previousSequence + 1;
    }
    if (expiresDays) {
        statement.expires = now + static_cast<std::int64_t>(*expiresDays) * 86400;
    }
    statement.indexSha256 = HashText(index, "SHA256", true);
    return statement;
}

std::optional<std::uint64_t> StatementSequence(std::string_view signatureText) {
    const std::optional<SignedIndexStatement> decoded = DecodeIndexSignatureText(signatureText);
    if (!decoded) {
        return std::nullopt;
    }
    const std::optional<IndexStatement> statement = ParseIndexStatement(decoded->statement);
    if (!statement) {
        return std::nullopt;
    }
    return statement->sequence;
}

std::string ReadPublicKey(const std::string& argument) {
    std::error_code error;
    const std::string text =
        fs::is_regular_file(argument, error) ? ReadSmallFile(argument, 64 * 1024) : argument;
    const std::string der = Base64Decode(PublicKeyBase64(text));
    if (!P256PublicPoint(der)) {
        throw PublisherError(
            "--public-key takes a P-256 public key: its base64 DER text as keygen prints it, or "
            "a file holding that text or the key in PEM form");
    }
    return der;
}

SignatureCheck CheckIndexSignature(ObjectSource& source, const std::string& product,
                                   std::string_view publicKeyDer) {
    SignatureCheck check;
    const std::string sigPath = IndexContainer(product) + "/" + kIndexSignatureName;
    std::string index;
    if (!source.ReadText(IndexObjectPath(product), index)) {
        check.message = "the index cannot be read, so its signature cannot be checked";
        return check;
    }
    std::string text;
    if (!source.ReadText(sigPath, text)) {
        check.message = sigPath + " is missing: the index is not signed";
        return check;
    }
    const std::optional<SignedIndexStatement> decoded = DecodeIndexSignatureText(text);
    if (!decoded) {
        check.message = sigPath +
                        " is malformed: it is no base64 text of a statement and a 64-byte "
                        "signature";
        return check;
    }
    if (!VerifyIndexSignature(decoded->statement, decoded->signature, publicKeyDer)) {
        check.message = sigPath +
                        " does not match: it was changed after it was signed, or it was signed "
                        "with another key";
        return check;
    }
    const std::optional<IndexStatement> statement = ParseIndexStatement(decoded->statement);
    if (!statement) {
        check.message = sigPath + " is signed but holds no statement of the known form";
        return check;
    }
    const std::string expiry = statement->expires ? HttpDate(*statement->expires) : "never";
    const std::string facts = "product " + SafeText(BoundedText(statement->product, 80)) +
                              ", sequence " + std::to_string(statement->sequence) + ", expires " +
                              expiry;
    if (statement->product != product) {
        check.message = sigPath + " was signed for another product (" + facts + ")";
    } else if (statement->indexSha256 != HashText(index, "SHA256", true)) {
        check.message =
            sigPath + " does not match: the index was changed after it was signed (" + facts + ")";
    } else if (statement->expires && *statement->expires <= std::time(nullptr)) {
        check.message = sigPath + " has expired: launchers refuse the index (" + facts + ")";
    } else {
        check.valid = true;
        check.message = sigPath + ": the index is signed with the given key (" + facts + ")";
    }
    return check;
}

std::vector<std::string> UpdateStagedSignature(const fs::path& indexFile,
                                               const std::string& product,
                                               const IndexSigner* signer,
                                               std::optional<unsigned> expiresDays) {
    const fs::path signatureFile = StagedSignatureFile(indexFile);
    std::error_code error;
    if (signer != nullptr) {
        std::optional<std::uint64_t> previous;
        if (fs::is_regular_file(signatureFile, error)) {
            previous = StatementSequence(ReadWholeFile(signatureFile));
        }
        const IndexStatement statement = NewIndexStatement(
            product, ReadWholeFile(indexFile), previous, std::time(nullptr), expiresDays);
        WriteFileAtomically(signatureFile, signer->SignatureText(statement));
        return {"signed the index: " + signatureFile.string() + " (sequence " +
                std::to_string(statement.sequence) + ")"};
    }
    if (fs::remove(signatureFile, error)) {
        return {"removed " + signatureFile.string() +
                ", which no longer matches the changed index: sign it again with --signing-key"};
    }
    return {};
}

PlannedSignature PlanIndexSignature(BlobStoreClient& client, const UploadRequest& request,
                                    const std::string& indexText) {
    const std::string container = IndexContainer(request.product);
    const std::string object = container + "/" + kIndexSignatureName;
    // The published statement, when there is one: a new one goes above its sequence.
    StoreResult asked;
    const std::optional<std::string> stored =
        client.GetBlob(container, kIndexSignatureName, kIndexSignatureTextLimit, &asked);
    if (!stored && asked.status != 404) {
        throw PublisherError("cannot read " + object + " from the store: " + asked.message +
                             "; the index was not uploaded");
    }
    const std::optional<std::uint64_t> storedSequence =
        stored ? StatementSequence(*stored) : std::nullopt;

    PlannedSignature plan;
    if (request.signer != nullptr) {
        plan.text = request.signer->SignatureText(NewIndexStatement(
            request.product, indexText, storedSequence, std::time(nullptr), request.expiresDays));
        return plan;
    }
    const fs::path staged = StagedSignatureFile(StagedIndexFile(request.staging, request.product));
    std::error_code error;
    if (fs::is_regular_file(staged, error)) {
        plan.text = ReadWholeFile(staged);
        const std::optional<std::uint64_t> stagedSequence = StatementSequence(*plan.text);
        if (storedSequence && (!stagedSequence || *stagedSequence < *storedSequence)) {
            throw PublisherError("the staged " + std::string(kIndexSignatureName) +
                                 " is older than " + object +
                                 " (launchers would refuse it as replayed): sign it again with "
                                 "--signing-key; the index was not uploaded");
        }
        return plan;
    }
    if (stored) {
        if (!request.unsignedIndex) {
            throw PublisherError(object +
                                 " is in the store: an index without a signature would stand "
                                 "behind it and every launcher that checks signatures would "
                                 "refuse it. Sign it with --signing-key, or give --unsigned to "
                                 "publish it unsigned and remove " +
                                 object + "; the index was not uploaded");
        }
        plan.removeStored = true;
    }
    return plan;
}

void UploadIndexSignature(BlobStoreClient& client, const UploadRequest& request,
                          const PlannedSignature& plan, UploadResult& result) {
    const std::string container = IndexContainer(request.product);
    const std::string object = container + "/" + kIndexSignatureName;
    if (plan.text) {
        const StoreResult put =
            client.PutBlob(container, kIndexSignatureName, *plan.text, "text/plain");
        if (!put.ok) {
            throw PublisherError("the store refused the upload of " + object + ": " + put.message);
        }
        result.uploaded.push_back(object);
    }
    if (plan.removeStored) {
        const StoreResult removed = client.DeleteBlob(container, kIndexSignatureName);
        if (!removed.ok) {
            throw PublisherError("the store refused to delete " + object + ": " + removed.message);
        }
        result.notes.push_back("removed " + object + ": the index is published unsigned");
    }
}
