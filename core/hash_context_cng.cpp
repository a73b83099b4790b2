// Digests over CNG: the algorithm provider (in HMAC mode when a key is given), its object and
// digest lengths, and a hash object over working memory the context owns.
#include <windows.h>

#include <bcrypt.h>

#include <vector>

#include "core/hash_context.h"
#include "core/text_conversion.h"
#include "core/win32_support.h"

namespace {
bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

ULONG ReadLengthProperty(BCRYPT_ALG_HANDLE provider, const wchar_t* property, bool& ok) {
    ULONG value = 0;
    ULONG got = 0;
    ok = Succeeded(BCryptGetProperty(provider, property, reinterpret_cast<PUCHAR>(&value),
                                     sizeof value, &got, 0)) &&
         got == sizeof value;
    return value;
}
}  // namespace

struct HashContext::Impl {
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::vector<UCHAR> hashObject;
    std::vector<UCHAR> digest;
    std::vector<UCHAR> key;

    ~Impl() { Release(); }

    // The hash object before the provider it came from.
    void Release() {
        if (hash != nullptr) {
            BCryptDestroyHash(hash);
            hash = nullptr;
        }
        if (provider != nullptr) {
            BCryptCloseAlgorithmProvider(provider, 0);
            provider = nullptr;
        }
    }
};

HashContext::HashContext(const std::string& algorithm, std::string_view key)
    : mImpl(std::make_unique<Impl>()) {
    Impl& impl = *mImpl;
    impl.key.assign(key.begin(), key.end());
    const std::u16string name = ToUtf16(algorithm);
    const ULONG flags = impl.key.empty() ? 0 : BCRYPT_ALG_HANDLE_HMAC_FLAG;
    if (name.empty() ||
        !Succeeded(BCryptOpenAlgorithmProvider(&impl.provider, Wide(name), nullptr, flags))) {
        impl.provider = nullptr;
        return;
    }
    bool ok = false;
    const ULONG objectLength = ReadLengthProperty(impl.provider, BCRYPT_OBJECT_LENGTH, ok);
    if (!ok) {
        impl.Release();
        return;
    }
    const ULONG digestLength = ReadLengthProperty(impl.provider, BCRYPT_HASH_LENGTH, ok);
    if (!ok || digestLength == 0) {
        impl.Release();
        return;
    }
    impl.hashObject.resize(objectLength);
    impl.digest.resize(digestLength);
    if (!Succeeded(BCryptCreateHash(impl.provider, &impl.hash, impl.hashObject.data(), objectLength,
                                    impl.key.empty() ? nullptr : impl.key.data(),
                                    static_cast<ULONG>(impl.key.size()), 0))) {
        impl.hash = nullptr;
        impl.Release();
    }
}

HashContext::~HashContext() = default;

bool HashContext::Usable() const {
    return mImpl->provider != nullptr && mImpl->hash != nullptr;
}

void HashContext::Update(const void* data, std::size_t length) {
    if (!Usable()) {
        return;
    }
    // CNG takes at most a ULONG's worth of bytes per call.
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    while (length > 0) {
        const ULONG chunk = length > 0x40000000 ? 0x40000000 : static_cast<ULONG>(length);
        BCryptHashData(mImpl->hash, bytes, chunk, 0);
        bytes += chunk;
        length -= chunk;
    }
}

std::string HashContext::Finish(bool asHex) {
    if (!Usable()) {
        return {};
    }
    Impl& impl = *mImpl;
    const bool finished = Succeeded(
        BCryptFinishHash(impl.hash, impl.digest.data(), static_cast<ULONG>(impl.digest.size()), 0));
    // A finished hash object takes no more data: release it with its provider.
    impl.Release();
    if (!finished) {
        return {};
    }
    std::string raw(reinterpret_cast<const char*>(impl.digest.data()), impl.digest.size());
    return asHex ? HexText(raw) : raw;
}
