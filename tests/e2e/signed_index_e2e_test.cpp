// Whole launches of the launcher as configured (scripts/test.sh builds it trusting the key that
// signs the sample) against the local store: the signed sample installs; copies of its index whose
// statement names another product, does not hold the index, has expired or is missing end the
// launch with the message and nothing written; and an older publication served after a newer one
// was accepted is refused in the next launch of the same user.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <random>

#include "catalogue/index_retrieval.h"
#include "catalogue/trusted_index_keys.h"
#include "core/endpoints.h"
#include "core/hash_context.h"
#include "core/index_signature.h"
#include "core/text_conversion.h"
#include "net/http_transfer.h"
#include "support/launcher_process.h"
#include "support/local_store.h"
#include "support/test_environment.h"
#include "tools/publisher/index_signing.h"
#include "tools/store/store_client.h"

namespace fs = std::filesystem;

namespace {

constexpr char kSample[] = "tarnwick-x64-sql";

bool IsEmptyFolder(const fs::path& folder) {
    return !fs::exists(folder) || fs::is_empty(folder);
}

class SignedIndexE2eTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string missing;
        const auto store = LocalStoreFromEnvironment(&missing);
        if (!store) GTEST_SKIP() << LocalStoreSkipMessage(missing);
        mStore = *store;
        if (TrustedIndexKeys().empty()) {
            GTEST_SKIP() << "this build trusts no index signing key; scripts/test.sh builds it "
                            "with the key that signs the sample";
        }
        // The sample as the store holds it, and whether a key of this build signed it.
        const auto get = [this](const std::string& object, std::string& out) {
            return HttpGetText(mStore.blob.host, ToUtf16(object), out, std::nullopt,
                               mStore.blob.secure, mStore.blob.port);
        };
        std::string signatureText;
        ASSERT_TRUE(get(std::string(kSample) + "-v2/index", mIndex)) << "publish the sample";
        const bool signedSample = get(std::string(kSample) + "-v2/index.sig", signatureText);
        const auto decoded = DecodeIndexSignatureText(signatureText);
        bool trusted = false;
        for (const std::string& key : TrustedIndexKeys()) {
            trusted = trusted || (decoded && VerifyIndexSignature(decoded->statement,
                                                                  decoded->signature, key));
        }
        if (!signedSample || !trusted) {
            GTEST_SKIP() << "the sample in the store is not signed with a key this build trusts; "
                            "scripts/publish-sample.sh signs it with build/sample-signing";
        }
        mSignatureText = signatureText;
        // The sample's private key signs the statements of the copies.
        const char* dir = std::getenv("SAMPLE_SIGNING_DIR");
        const fs::path key =
            fs::path(dir != nullptr ? dir : SETUP_LAUNCHER_SOURCE_DIR "/build/sample-signing") /
            "index-signing.key";
        if (fs::exists(key)) mSigner.emplace(key);
    }

    std::string Sign(const std::string& product, const std::string& index, std::uint64_t sequence,
                     std::optional<std::int64_t> expires = std::nullopt) {
        return mSigner->SignatureText(
            {product, sequence, expires, HashText(index, "SHA256", true)});
    }

    static std::string NewProduct() {
        std::random_device random;
        return "signed-e2e-" + std::to_string(random() % 1000000);
    }

    // A product of its own whose index (the sample's, changed by the test) and index.sig are
    // given; no index.sig when signatureText is nullopt.
    void Publish(const std::string& product, const std::string& index,
                 const std::optional<std::string>& signatureText) {
        BlobStoreClient client(*StoreAccountFromEnvironment());
        EXPECT_TRUE(client.CreateContainer(product + "-v2").ok);
        EXPECT_TRUE(client.PutBlob(product + "-v2", "index", index, "application/json").ok);
        if (signatureText) {
            EXPECT_TRUE(client.PutBlob(product + "-v2", "index.sig", *signatureText).ok);
        }
    }

    LocalStore mStore;
    std::string mIndex;
    std::string mSignatureText;
    std::optional<IndexSigner> mSigner;
};

TEST_F(SignedIndexE2eTest, SignedSampleIsInstalled) {
    LauncherSandbox sandbox(kSample, SETUP_LAUNCHER_CONFIGURED_BINARY);
    // Current release, preselected edition, default folder, download only, OK.
    const LaunchResult result = sandbox.Launch("\n\n\ny\n\n");
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err.find("Setup launcher:"), std::string::npos) << result.err;
    EXPECT_NE(result.log.find("): tarnwick-x64-sql: release index verified with trusted key "),
              std::string::npos)
        << result.log;
    EXPECT_TRUE(fs::exists(sandbox.downloads() / "tarnwick-x64-sql.2024.1" / "readme.txt"));
}

TEST_F(SignedIndexE2eTest, IndexWithoutAValidStatementEndsTheLaunchWithNothingWritten) {
    if (!mSigner) GTEST_SKIP() << "the sample's private key is not in build/sample-signing";
    std::string changed = mIndex;
    changed.insert(changed.rfind('}'), " ");
    struct Case {
        const char* name;
        std::string index;
        // index.sig for the product; nullopt: none
        std::function<std::optional<std::string>(const std::string&)> signature;
        std::string message;  // after "The release index "
    };
    const Case cases[] = {
        {"changed after signing", changed,
         [&](const std::string& product) { return Sign(product, mIndex, 10); },
         "of {} was changed after it was signed: its SHA-256 is not the signed one"},
        {"the sample's statement", mIndex, [&](const std::string&) { return mSignatureText; },
         "served for {} was signed for another product: \"tarnwick-x64-sql\""},
        {"expired", mIndex,
         [&](const std::string& product) { return Sign(product, mIndex, 10, 86400); },
         "of {} expired on 1970-01-02 00:00:00 UTC: its publisher no longer vouches for it"},
        {"no index.sig", mIndex, [](const std::string&) { return std::nullopt; },
         "of {} is not signed by its publisher: index.sig is missing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string product = NewProduct();
        Publish(product, c.index, c.signature(product));
        std::string message = "The release index " + c.message;
        message.replace(message.find("{}"), 2, product);
        LauncherSandbox sandbox(product, SETUP_LAUNCHER_CONFIGURED_BINARY);
        const LaunchResult result = sandbox.Launch("\n\n\ny\n\n");
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_NE(result.err.find("Setup launcher: " + message + "\n"), std::string::npos)
            << result.err;
        EXPECT_NE(result.log.find("throwing DownloadException(" + message + ")"),
                  std::string::npos);
        EXPECT_EQ(result.out.find("Version"), std::string::npos) << "no dialog: " << result.out;
        EXPECT_TRUE(IsEmptyFolder(sandbox.downloads()));
        EXPECT_TRUE(IsEmptyFolder(sandbox.home() / ".local" / "state")) << "nothing remembered";
    }
    // The launcher with an empty key list takes the changed index as the store serves it.
    const std::string product = NewProduct();
    Publish(product, changed, mSignatureText);
    LauncherSandbox unsignedSandbox(product);
    const LaunchResult result = unsignedSandbox.Launch("");
    EXPECT_EQ(result.log.find("throwing DownloadException"), std::string::npos) << result.log;
}

TEST_F(SignedIndexE2eTest, OlderPublicationIsRefusedAfterANewerOneWasAccepted) {
    if (!mSigner) GTEST_SKIP() << "the sample's private key is not in build/sample-signing";
    const std::string product = NewProduct();
    LauncherSandbox sandbox(product, SETUP_LAUNCHER_CONFIGURED_BINARY);
    const fs::path record =
        sandbox.home() / ".local" / "state" / "setup-launcher" / "index-sequence" / product;

    // First launch: publication 2000 is accepted and remembered (the user cancels the dialog).
    Publish(product, mIndex, Sign(product, mIndex, 2000));
    LaunchResult result = sandbox.Launch("");
    EXPECT_EQ(result.err.find("Setup launcher:"), std::string::npos) << result.err;
    EXPECT_FALSE(result.out.empty()) << "the version dialog was shown";
    EXPECT_EQ(ReadFileBytes(record), "2000\n");

    // Second launch of the same user: the store serves publication 1000, validly signed.
    Publish(product, mIndex, Sign(product, mIndex, 1000));
    result = sandbox.Launch("");
    const std::string replayed = "The release index of " + product +
                                 " was replayed: its publication 1000 is older than publication "
                                 "2000, which this launcher has already used";
    EXPECT_NE(result.err.find("Setup launcher: " + replayed + "\n"), std::string::npos)
        << result.err;
    EXPECT_NE(result.log.find("throwing DownloadException(" + replayed + ")"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(record), "2000\n");

    // Another user of the machine has no record: starts from 0, logged.
    LauncherSandbox otherUser(product, SETUP_LAUNCHER_CONFIGURED_BINARY);
    result = otherUser.Launch("");
    EXPECT_EQ(result.err.find("Setup launcher:"), std::string::npos) << result.err;
    EXPECT_NE(result.log.find(product + ": no accepted release index sequence in "),
              std::string::npos)
        << result.log;
}

}  // namespace
