// Digests over OpenSSL's EVP interface: plain digests through EVP_MD_CTX, keyed ones through the
// HMAC EVP_MAC.
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <vector>

#include "core/hash_context.h"

namespace {
struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct MacDeleter {
    void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
};
struct MacCtxDeleter {
    void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};

const char* DigestName(const std::string& algorithm) {
    if (algorithm == "MD5") return "MD5";
    if (algorithm == "SHA256") return "SHA256";
    return nullptr;
}
}  // namespace

struct HashContext::Impl {
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> digest;
    std::unique_ptr<EVP_MAC, MacDeleter> mac;
    std::unique_ptr<EVP_MAC_CTX, MacCtxDeleter> macContext;
};

HashContext::HashContext(const std::string& algorithm, std::string_view key)
    : mImpl(std::make_unique<Impl>()) {
    const char* name = DigestName(algorithm);
    if (name == nullptr) {
        return;
    }
    if (key.empty()) {
        const EVP_MD* md = EVP_get_digestbyname(name);
        std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
        if (md != nullptr && ctx && EVP_DigestInit_ex(ctx.get(), md, nullptr) == 1) {
            mImpl->digest = std::move(ctx);
        }
        return;
    }
    std::unique_ptr<EVP_MAC, MacDeleter> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    if (!mac) {
        return;
    }
    std::unique_ptr<EVP_MAC_CTX, MacCtxDeleter> ctx(EVP_MAC_CTX_new(mac.get()));
    if (!ctx) {
        return;
    }
    std::string digestName = name;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digestName.data(), 0),
        OSSL_PARAM_construct_end()};
    if (EVP_MAC_init(ctx.get(), reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                     params) == 1) {
        mImpl->mac = std::move(mac);
        mImpl->macContext = std::move(ctx);
    }
}

HashContext::~HashContext() = default;

bool HashContext::Usable() const {
    return mImpl->digest || mImpl->macContext;
}

void HashContext::Update(const void* data, std::size_t length) {
    if (mImpl->digest) {
        EVP_DigestUpdate(mImpl->digest.get(), data, length);
    } else if (mImpl->macContext) {
        EVP_MAC_update(mImpl->macContext.get(), static_cast<const unsigned char*>(data), length);
    }
}

std::string HashContext::Finish(bool asHex) {
    std::vector<unsigned char> out(EVP_MAX_MD_SIZE);
    std::size_t length = 0;
    if (mImpl->digest) {
        unsigned int digestLength = 0;
        if (EVP_DigestFinal_ex(mImpl->digest.get(), out.data(), &digestLength) != 1) {
            return {};
        }
        length = digestLength;
        mImpl->digest.reset();
    } else if (mImpl->macContext) {
        if (EVP_MAC_final(mImpl->macContext.get(), out.data(), &length, out.size()) != 1) {
            return {};
        }
        mImpl->macContext.reset();
    } else {
        return {};
    }
    std::string raw(reinterpret_cast<const char*>(out.data()), length);
    return asHex ? HexText(raw) : raw;
}
