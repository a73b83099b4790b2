// Index signatures over CNG: the point is imported as a BCRYPT_ECCPUBLIC_BLOB into the ECDSA P-256
// provider, and BCryptVerifySignature checks the 64-byte r || s form (CNG's own) over the SHA-256
// digest of the data.
#include <windows.h>

#include <bcrypt.h>

#include <cstring>
#include <vector>

#include "core/hash_context.h"
#include "core/index_signature.h"

namespace {

// The provider and the key imported into it; the key is released before its provider.
class EcdsaP256Key {
  public:
    explicit EcdsaP256Key(std::string_view point) {
        if (BCryptOpenAlgorithmProvider(&mProvider, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) < 0) {
            mProvider = nullptr;
            return;
        }
        // BCRYPT_ECCKEY_BLOB header, then X and Y.
        std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + point.size());
        BCRYPT_ECCKEY_BLOB header;
        header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
        header.cbKey = static_cast<ULONG>(point.size() / 2);
        std::memcpy(blob.data(), &header, sizeof header);
        std::memcpy(blob.data() + sizeof header, point.data(), point.size());
        if (BCryptImportKeyPair(mProvider, nullptr, BCRYPT_ECCPUBLIC_BLOB, &mKey, blob.data(),
                                static_cast<ULONG>(blob.size()), 0) < 0) {
            mKey = nullptr;
        }
    }
    ~EcdsaP256Key() {
        if (mKey != nullptr) {
            BCryptDestroyKey(mKey);
        }
        if (mProvider != nullptr) {
            BCryptCloseAlgorithmProvider(mProvider, 0);
        }
    }
    EcdsaP256Key(const EcdsaP256Key&) = delete;
    EcdsaP256Key& operator=(const EcdsaP256Key&) = delete;

    BCRYPT_KEY_HANDLE Get() const { return mKey; }

  private:
    BCRYPT_ALG_HANDLE mProvider = nullptr;
    BCRYPT_KEY_HANDLE mKey = nullptr;
};

}  // namespace

bool VerifyP256Signature(std::string_view data, std::string_view signature,
                         std::string_view point) {
    if (signature.size() != kIndexSignatureSize || point.size() != kP256PointSize) {
        return false;
    }
    const EcdsaP256Key key(point);
    if (key.Get() == nullptr) {
        return false;
    }
    std::string digest = HashText(data, "SHA256", false);
    if (digest.size() != 32) {
        return false;
    }
    std::string signatureBytes(signature);
    // STATUS_SUCCESS only for a valid signature; a wrong one gives STATUS_INVALID_SIGNATURE.
    return BCryptVerifySignature(key.Get(), nullptr, reinterpret_cast<PUCHAR>(digest.data()),
                                 static_cast<ULONG>(digest.size()),
                                 reinterpret_cast<PUCHAR>(signatureBytes.data()),
                                 static_cast<ULONG>(signatureBytes.size()), 0) == 0;
}
