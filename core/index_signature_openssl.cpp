// Index signatures over OpenSSL: the point becomes an EVP key, the r || s form becomes the DER
// signature that EVP_DigestVerify takes.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <memory>
#include <vector>

#include "core/index_signature.h"

namespace {
struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct SigDeleter {
    void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};
struct BnDeleter {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using Bn = std::unique_ptr<BIGNUM, BnDeleter>;

// The key from its group name and encoded point (0x04 || X || Y).
Pkey KeyFromPoint(std::string_view point) {
    std::string encoded = "\x04" + std::string(point);
    char group[] = "prime256v1";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, encoded.data(), encoded.size()),
        OSSL_PARAM_construct_end()};
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        return nullptr;
    }
    return Pkey(key);
}

// The DER ECDSA-Sig-Value of a 64-byte r || s signature; empty on failure.
std::vector<unsigned char> DerSignature(std::string_view signature) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(signature.data());
    Bn r(BN_bin2bn(bytes, 32, nullptr));
    Bn s(BN_bin2bn(bytes + 32, 32, nullptr));
    std::unique_ptr<ECDSA_SIG, SigDeleter> sig(ECDSA_SIG_new());
    if (!r || !s || !sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) {
        return {};
    }
    // The signature owns both numbers now.
    r.release();
    s.release();
    const int length = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (length <= 0) {
        return {};
    }
    std::vector<unsigned char> der(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    if (i2d_ECDSA_SIG(sig.get(), &out) != length) {
        return {};
    }
    return der;
}
}  // namespace

bool VerifyP256Signature(std::string_view data, std::string_view signature,
                         std::string_view point) {
    if (signature.size() != kIndexSignatureSize || point.size() != kP256PointSize) {
        return false;
    }
    const Pkey key = KeyFromPoint(point);
    const std::vector<unsigned char> der = DerSignature(signature);
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
    if (!key || der.empty() || !ctx ||
        EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        return false;
    }
    return EVP_DigestVerify(ctx.get(), der.data(), der.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}
