// Index signatures: the launcher's verifier against fixed vectors, the forms of keys and
// signature texts it accepts, and setup-publisher's keys and signatures as the launcher checks
// them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/base64.h"
#include "core/hash_context.h"
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

constexpr char kDigest[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::string StatementText(const std::string& product, const std::string& sequence,
                          const std::string& expiresLine, const std::string& digest) {
    return "setup-launcher index statement 1\nproduct " + product + "\nsequence " + sequence +
           "\n" + expiresLine + "sha256 " + digest + "\n";
}

TEST(IndexStatementTest, ReadsOnlyTheExactForm) {
    IndexStatement expiring{"tarnwick-x64-sql", 1765421228, 1768013228, kDigest};
    IndexStatement lasting{"tarnwick-x64-sql", 18446744073709551615ull, std::nullopt, kDigest};
    EXPECT_EQ(ParseIndexStatement(IndexStatementText(expiring)), expiring);
    EXPECT_EQ(ParseIndexStatement(IndexStatementText(lasting)), lasting);
    EXPECT_EQ(IndexStatementText(expiring),
              StatementText("tarnwick-x64-sql", "1765421228", "expires 1768013228\n", kDigest));

    const std::string good = IndexStatementText(expiring);
    std::string crlf = good;
    crlf.insert(crlf.find('\n'), "\r");
    struct Case {
        const char* name;
        std::string text;
    };
    const Case refused[] = {
        {"empty", ""},
        {"no last line end", good.substr(0, good.size() - 1)},
        {"CR LF", crlf},
        {"other header", "setup-launcher index statement 2" + good.substr(good.find('\n'))},
        {"line appended", good + "extra 1\n"},
        {"lines swapped", "setup-launcher index statement 1\nsequence 1\nproduct p\nsha256 " +
                              std::string(kDigest) + "\n"},
        {"no product", StatementText("", "1", "", kDigest)},
        {"control character in product", StatementText("a\x1b[2Jb", "1", "", kDigest)},
        {"product too long", StatementText(std::string(256, 'p'), "1", "", kDigest)},
        {"leading zero", StatementText("p", "01", "", kDigest)},
        {"signed number", StatementText("p", "+1", "", kDigest)},
        {"sequence past 64 bits", StatementText("p", "18446744073709551616", "", kDigest)},
        {"expiry past signed 64 bits",
         StatementText("p", "1", "expires 9223372036854775808\n", kDigest)},
        {"upper-case digest", StatementText("p", "1", "", "ABCDEF" + std::string(kDigest + 6))},
        {"short digest", StatementText("p", "1", "", std::string(kDigest, 63))},
        {"two blanks", StatementText("p", " 1", "", kDigest)},
    };
    for (const Case& c : refused) {
        EXPECT_FALSE(ParseIndexStatement(c.text)) << c.name;
    }
    EXPECT_TRUE(ParseIndexStatement(StatementText(std::string(255, 'p'), "0", "", kDigest)));
}

TEST(IndexStatementTest, SignatureTextIsBase64OfStatementAndSignatureInAnyLines) {
    const std::string statement =
        IndexStatementText({"tarnwick-x64-sql", 7, std::nullopt, kDigest});
    const std::string text = IndexSignatureText(statement, Signature());
    // Written in lines of 76 characters, as base64 tools write it.
    EXPECT_EQ(text.find('\n'), 76u);
    EXPECT_EQ(text.back(), '\n');
    const std::string oneLine = Base64Encode(statement + Signature());
    std::string crlfIn64;
    for (std::size_t at = 0; at < oneLine.size(); at += 64) {
        crlfIn64 += oneLine.substr(at, 64) + "\r\n";
    }
    struct Case {
        const char* name;
        std::string text;
        bool accepted;
    };
    const Case cases[] = {
        {"as written", text, true},
        {"one line", oneLine, true},
        {"lines of 64 with CR LF", crlfIn64, true},
        {"blanks around", "  " + oneLine + " \n", true},
        {"signature alone", vectors::kSignature, false},
        {"not base64", std::string(300, '*'), false},
        {"cut inside", oneLine.substr(0, oneLine.size() - 3), false},
        {"larger than a statement can be", std::string(2000, 'A'), false},
        {"empty", "", false},
    };
    for (const Case& c : cases) {
        const auto decoded = DecodeIndexSignatureText(c.text);
        EXPECT_EQ(decoded.has_value(), c.accepted) << c.name;
        if (decoded) {
            EXPECT_EQ(decoded->statement, statement) << c.name;
            EXPECT_EQ(decoded->signature, Signature()) << c.name;
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
    const IndexStatement statement =
        NewIndexStatement("tarnwick-x64-sql", vectors::kIndex, std::nullopt, 1765421228, 30);
    EXPECT_EQ(statement.indexSha256, HashText(vectors::kIndex, "SHA256", true));
    EXPECT_EQ(statement.expires, 1765421228 + 30 * 86400);
    const auto decoded = DecodeIndexSignatureText(signer.SignatureText(statement));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(ParseIndexStatement(decoded->statement), statement);
    EXPECT_TRUE(VerifyIndexSignature(decoded->statement, decoded->signature, publicKey));
    EXPECT_FALSE(VerifyIndexSignature(decoded->statement + " ", decoded->signature, publicKey));
    EXPECT_FALSE(
        VerifyIndexSignature(decoded->statement, decoded->signature, Base64Decode(vectors::kKeyA)));
    // A product name the launcher could not read is refused when signing, not when launching.
    IndexStatement unreadable = statement;
    unreadable.product = "two\nlines";
    EXPECT_THROW(signer.SignatureText(unreadable), PublisherError);
}

TEST(IndexSigningTest, EachPublicationGoesAboveThePreviousOne) {
    constexpr std::int64_t kNow = 1765421228;
    struct Case {
        const char* name;
        std::optional<std::uint64_t> previous;
        std::uint64_t sequence;
    };
    const Case cases[] = {
        {"first publication", std::nullopt, kNow},
        {"previous one earlier", 1000, kNow},
        {"previous one this second", kNow, kNow + 1},
        {"previous one ahead of the clock", kNow + 500, kNow + 501},
    };
    for (const Case& c : cases) {
        const IndexStatement statement =
            NewIndexStatement("p", vectors::kIndex, c.previous, kNow, std::nullopt);
        EXPECT_EQ(statement.sequence, c.sequence) << c.name;
        EXPECT_FALSE(statement.expires) << c.name;
    }
    EXPECT_THROW(NewIndexStatement("p", "", UINT64_MAX, kNow, std::nullopt), PublisherError);
    EXPECT_EQ(StatementSequence(IndexSignatureText(
                  IndexStatementText({"p", 42, std::nullopt, kDigest}), Signature())),
              42u);
    EXPECT_FALSE(StatementSequence(vectors::kSignature));
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
