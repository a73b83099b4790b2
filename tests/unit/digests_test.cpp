#include <gtest/gtest.h>

#include "core/base64.h"
#include "core/hash_context.h"
#include "core/text_conversion.h"
#include "support/test_digests.h"
#include "support/test_environment.h"

namespace {
constexpr char kEmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(Digests, PublishedVectors) {
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(HashText("abc", "SHA256", true),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HashText("", "SHA256", true), kEmptySha256);
    EXPECT_EQ(HashText("abc", "MD5", false).size(), 16u);
}

TEST(Digests, HmacSha256Rfc4231) {
    for (const vectors::HmacCase& c : vectors::kHmacSha256) {
        std::string raw = HmacSha256(c.key, c.data);
        EXPECT_EQ(raw.size(), 32u);
        EXPECT_EQ(HexText(raw), c.hex) << c.data;
    }
    // An empty key is a plain digest, in raw form.
    EXPECT_EQ(HexText(HmacSha256("", "abc")), HashText("abc", "SHA256", true));
}

TEST(Digests, UnknownAlgorithmGivesEmptyText) {
    EXPECT_EQ(HashText("abc", "SHA1024", true), "");
    EXPECT_EQ(HmacText("abc", "md5", "key"), "");
    HashContext context("NOPE", {});
    EXPECT_FALSE(context.Usable());
    EXPECT_EQ(context.Finish(true), "");
}

TEST(Digests, FilesAreReadInPieces) {
    TempDir dir;
    for (std::size_t size : {std::size_t{0}, std::size_t{1048576}, std::size_t{1048577},
                             std::size_t{3 * 1048576 + 5}}) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 4096);
        auto path = dir.path() / ("f" + std::to_string(size));
        WriteFileBytes(path, bytes);
        EXPECT_EQ(Sha256FileHex(ToUtf16(path.string())), HashText(bytes, "SHA256", true)) << size;
    }
    EXPECT_EQ(Sha256FileHex(ToUtf16((dir.path() / "missing").string())), kEmptySha256);
}

TEST(Base64, RoundTripAndInvalidText) {
    const std::pair<std::string, std::string> cases[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {std::string("\0\xff", 2), "AP8="}};
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(Base64Encode(bytes), text);
        EXPECT_EQ(Base64Decode(text), bytes);
    }
    EXPECT_EQ(Base64Decode("Zm9"), "");
    EXPECT_EQ(Base64Decode("Z!9v"), "");
}
}  // namespace
