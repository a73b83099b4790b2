// Digests over CNG and base64 over Crypt32, against the published test vectors; index signatures
// over CNG against the fixed vectors that the OpenSSL half meets too.
#include <gtest/gtest.h>

#include "core/base64.h"
#include "core/hash_context.h"
#include "core/index_signature.h"
#include "tests/support/index_signature_vectors.h"
#include "tests/support/test_digests.h"
#include "win32_test_support.h"

namespace {

struct DigestCase {
    const char* algorithm;
    std::string data;
    const char* hex;
};

TEST(Win32Digests, PublishedVectorsAsLowerCaseHex) {
    const DigestCase cases[] = {
        {"MD5", "", "d41d8cd98f00b204e9800998ecf8427e"},
        {"MD5", "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"SHA256", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"SHA256", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"SHA256", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const DigestCase& c : cases) {
        EXPECT_EQ(HashText(c.data, c.algorithm, true), c.hex) << c.algorithm << " of " << c.data;
    }
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    // The raw form is the same digest as bytes.
    const std::string raw = HashText("abc", "MD5", false);
    EXPECT_EQ(raw.size(), 16u);
    EXPECT_EQ(HexText(raw), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Win32Digests, HmacSha256MatchesRfc4231) {
    for (const vectors::HmacCase& c : vectors::kHmacSha256) {
        const std::string mac = HmacSha256(c.key, c.data);
        EXPECT_EQ(mac.size(), 32u);
        EXPECT_EQ(HexText(mac), c.hex) << c.data;
    }
    // Without a key there is no HMAC: the raw plain digest.
    EXPECT_EQ(HexText(HmacSha256("", "abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Win32Digests, UnknownAlgorithmGivesEmptyText) {
    HashContext context("NO-SUCH-HASH", {});
    EXPECT_FALSE(context.Usable());
    context.Update("abc", 3);
    EXPECT_EQ(context.Finish(true), "");
    EXPECT_EQ(HashText("abc", "NO-SUCH-HASH", true), "");
    EXPECT_EQ(HmacText("abc", "NO-SUCH-HASH", "key"), "");
}

TEST(Win32Digests, FilesOnWidePathsInMebibytePieces) {
    TempFolder folder;
    // Two whole pieces: the last read meets the end with nothing left to feed.
    const std::string twoPieces(2 * 1048576, 'a');
    const std::string odd = twoPieces + "tail";
    WriteBytes(folder / u"zwei-Stücke.bin", twoPieces);
    WriteBytes(folder / u"ungerade.bin", odd);
    WriteBytes(folder / u"leer.bin", "");

    EXPECT_EQ(Sha256FileHex(folder / u"zwei-Stücke.bin"), HashText(twoPieces, "SHA256", true));
    EXPECT_EQ(Sha256FileHex(folder / u"ungerade.bin"), HashText(odd, "SHA256", true));
    const std::string empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    EXPECT_EQ(Sha256FileHex(folder / u"leer.bin"), empty);
    // A file that cannot be opened is digested as empty input.
    EXPECT_EQ(Sha256FileHex(folder / u"fehlt.bin"), empty);
}

TEST(Win32Base64, Rfc4648VectorsBothWays) {
    const std::pair<std::string, std::string> cases[] = {
        {"f", "Zg=="},        {"fo", "Zm8="},        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(Base64Encode(bytes), text);
        EXPECT_EQ(Base64Decode(text), bytes);
    }
    EXPECT_EQ(Base64Encode(""), "");
}

TEST(Win32Base64, LongTextHasNoLineBreaksAndRoundTrips) {
    std::string key;
    for (int i = 0; i < 64; ++i) key.push_back(static_cast<char>(i * 7 + 3));
    const std::string text = Base64Encode(key);
    EXPECT_EQ(text.size(), 88u);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(Base64Decode(text), key);
}

TEST(Win32Base64, InvalidTextDecodesToEmpty) {
    for (const char* text :
         {"", "Zm9", "Zm9v\r\n", "Zm 9v", "Zm=v", "Z===", "Zm9v!A==", "====", "Zg==Zg=="}) {
        EXPECT_EQ(Base64Decode(text), "") << text;
    }
}

}  // namespace

// Index signatures over CNG, held to the same fixed vectors as the OpenSSL half.
namespace {

TEST(Win32IndexSignature, CngVerifiesOnlyTheSignedIndexUnderItsKey) {
    const std::string keyA = Base64Decode(vectors::kKeyA);
    const std::string keyB = Base64Decode(vectors::kKeyB);
    const std::string signature = Base64Decode(vectors::kSignature);
    ASSERT_EQ(signature.size(), 64u);
    std::string changed = vectors::kIndex;
    changed[changed.size() / 2] ^= 0x01;
    std::string flipped = signature;
    flipped[40] ^= 0x01;
    struct Case {
        const char* name;
        std::string data, signature, key;
        bool valid;
    };
    const Case cases[] = {
        {"signed index", vectors::kIndex, signature, keyA, true},
        {"one byte changed", changed, signature, keyA, false},
        {"other key", vectors::kIndex, signature, keyB, false},
        {"signature changed", vectors::kIndex, flipped, keyA, false},
        {"signature truncated", vectors::kIndex, signature.substr(0, 63), keyA, false},
        {"zero signature", vectors::kIndex, std::string(64, '\0'), keyA, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VerifyIndexSignature(c.data, c.signature, c.key), c.valid) << c.name;
    }
    // The text of index.sig, base64 in lines, decodes through Crypt32's base64 as well.
    const std::string statement =
        IndexStatementText({"tarnwick-x64-sql", 7, std::nullopt, std::string(64, 'a')});
    const auto decoded = DecodeIndexSignatureText(IndexSignatureText(statement, signature));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->statement, statement);
    EXPECT_EQ(decoded->signature, signature);
}

}  // namespace
