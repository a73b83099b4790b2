// Index signatures: the launcher's verifier against fixed vectors, the forms of keys and
// signature texts it accepts, and setup-publisher's keys and signatures as the launcher checks
// them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/base64.h"
#include "core/index_signature.h"
#include "support/index_signature_vectors.h"
#include "support/test_environment.h"
#include "tools/publisher/index_signing.h"
#include "tools/publisher/publisher_error.h"

namespace fs = std::filesystem;

namespace {

std::string Signature() {
    return Base64Decode(vectors::kSignature);
}

TEST(IndexSignatureTest, VerifiesOnlyTheSignedBytesUnderTheSigningKey) {
    const std::string keyA = Base64Decode(vectors::kKeyA);
    const std::string keyB = Base64Decode(vectors::kKeyB);
    std::string changed = vectors::kIndex;
    changed[changed.size() / 2] ^= 0x01;
    std::string flipped = Signature();
    flipped[40] ^= 0x01;
    struct Case {
        const char* name;
        std::string data, signature, key;
        bool valid;
    };
    const Case cases[] = {
        {"signed index", vectors::kIndex, Signature(), keyA, true},
        {"one byte changed", changed, Signature(), keyA, false},
        {"a byte appended", vectors::kIndex + "\n", Signature(), keyA, false},
        {"other key", vectors::kIndex, Signature(), keyB, false},
        {"signature changed", vectors::kIndex, flipped, keyA, false},
        {"signature truncated", vectors::kIndex, Signature().substr(0, 63), keyA, false},
        {"signature as DER", vectors::kIndex, std::string(70, '\x30'), keyA, false},
        {"zero signature", vectors::kIndex, std::string(64, '\0'), keyA, false},
        {"no key", vectors::kIndex, Signature(), "", false},
        {"key truncated", vectors::kIndex, Signature(), keyA.substr(0, 90), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VerifyIndexSignature(c.data, c.signature, c.key), c.valid) << c.name;
    }
}

TEST(IndexSignatureTest, AcceptsOnlyUncompressedP256KeysInDer) {
    const std::string keyA = Base64Decode(vectors::kKeyA);
    ASSERT_EQ(keyA.size(), 91u);
    EXPECT_EQ(P256PublicPoint(keyA), keyA.substr(27));

    std::string compressed = keyA;  // the same key's bytes behind a compressed-point marker
    compressed[26] = 0x02;
    std::string otherCurve = keyA;  // prime256v1's OID changed to another curve's
    otherCurve[22] = 0x06;
    for (const std::string& key : {compressed, otherCurve, keyA + "x", keyA.substr(1)}) {
        EXPECT_FALSE(P256PublicPoint(key));
    }
}

TEST(IndexSignatureTest, SignatureTextIsBase64OfSixtyFourBytes) {
    struct Case {
        const char* name;
        std::string text;
        bool accepted;
    };
    const Case cases[] = {
        {"as written", vectors::kSignature, true},
        {"with a line end", vectors::kSignature + "\n", true},
        {"with CR LF and blanks", "  " + vectors::kSignature + "\r\n", true},
        {"empty", "", false},
        {"truncated", vectors::kSignature.substr(0, 84), false},
        {"line break inside",
         vectors::kSignature.substr(0, 40) + "\n" + vectors::kSignature.substr(40), false},
        {"not base64", std::string(86, '*') + "==", false},
        {"65 bytes", Base64Encode(Signature() + "x"), false},
        {"DER text", Base64Encode(std::string(66, '\x30')), false},
        {"large", std::string(100000, 'A'), false},
    };
    for (const Case& c : cases) {
        const auto decoded = DecodeIndexSignatureText(c.text);
        EXPECT_EQ(decoded.has_value(), c.accepted) << c.name;
        if (decoded) {
            EXPECT_EQ(*decoded, Signature()) << c.name;
        }
    }
}

// setup-publisher's side: what keygen and the signer produce is what the launcher accepts.
TEST(IndexSigningTest, PublisherKeysSignWhatTheLauncherVerifies) {
    TempDir dir;
    const fs::path file = dir.path() / "signing.key";
    const std::string publicText = GenerateSigningKey(file);
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    const IndexSigner signer(file);
    EXPECT_EQ(signer.PublicKeyText(), publicText);
    const std::string publicKey = Base64Decode(publicText);
    ASSERT_TRUE(P256PublicPoint(publicKey));
    const std::string text = signer.SignatureText(vectors::kIndex);
    const auto signature = DecodeIndexSignatureText(text);
    ASSERT_TRUE(signature);
    EXPECT_TRUE(VerifyIndexSignature(vectors::kIndex, *signature, publicKey));
    EXPECT_FALSE(VerifyIndexSignature(vectors::kIndex + " ", *signature, publicKey));
    EXPECT_FALSE(VerifyIndexSignature(vectors::kIndex, *signature, Base64Decode(vectors::kKeyA)));
}

TEST(IndexSigningTest, KeyFilesAreNeverReplacedAndMustHoldAP256Key) {
    TempDir dir;
    const fs::path file = dir.path() / "signing.key";
    GenerateSigningKey(file);
    const std::string before = ReadFileBytes(file);
    EXPECT_THROW(GenerateSigningKey(file), PublisherError);
    EXPECT_EQ(ReadFileBytes(file), before);

    WriteFileBytes(dir.path() / "public.pem",
                   "-----BEGIN PUBLIC KEY-----\n" + vectors::kKeyA.substr(0, 64) + "\n" +
                       vectors::kKeyA.substr(64) + "\n-----END PUBLIC KEY-----\n");
    WriteFileBytes(dir.path() / "public.txt", vectors::kKeyA + "\n");
    for (const fs::path& notAKey : {dir.path() / "public.pem", dir.path() / "missing"}) {
        EXPECT_THROW(IndexSigner{notAKey}, PublisherError) << notAKey;
    }
    // A public key is taken as text, from a file of that text or from a PEM file.
    const std::string keyA = Base64Decode(vectors::kKeyA);
    for (const std::string& argument : {vectors::kKeyA, (dir.path() / "public.txt").string(),
                                        (dir.path() / "public.pem").string()}) {
        EXPECT_EQ(ReadPublicKey(argument), keyA) << argument;
    }
    EXPECT_THROW(ReadPublicKey(vectors::kKeyA.substr(4)), PublisherError);
    EXPECT_THROW(ReadPublicKey(file.string()), PublisherError) << "a private key is no public key";
}

}  // namespace
