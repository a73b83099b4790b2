// Whole launches of the launcher as configured (scripts/test.sh builds it trusting the key that
// signs the sample) against the local store: the signed sample installs, and copies of its index
// that are changed or lack their signature end the launch with the message and nothing written.
#include <gtest/gtest.h>

#include <random>

#include "catalogue/index_retrieval.h"
#include "catalogue/trusted_index_keys.h"
#include "core/endpoints.h"
#include "core/index_signature.h"
#include "core/text_conversion.h"
#include "net/http_transfer.h"
#include "support/launcher_process.h"
#include "support/local_store.h"
#include "support/test_environment.h"
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
        const auto signature = DecodeIndexSignatureText(signatureText);
        bool trusted = false;
        for (const std::string& key : TrustedIndexKeys()) {
            trusted = trusted || (signature && VerifyIndexSignature(mIndex, *signature, key));
        }
        if (!signedSample || !trusted) {
            GTEST_SKIP() << "the sample in the store is not signed with a key this build trusts; "
                            "scripts/publish-sample.sh signs it with build/sample-signing";
        }
        mSignatureText = signatureText;
    }

    // A product of its own whose index is the sample's, changed by the test.
    std::string PublishCopy(const std::string& index, const std::string* signatureText) {
        std::random_device random;
        const std::string product = "signed-e2e-" + std::to_string(random() % 1000000);
        BlobStoreClient client(*StoreAccountFromEnvironment());
        EXPECT_TRUE(client.CreateContainer(product + "-v2").ok);
        EXPECT_TRUE(client.PutBlob(product + "-v2", "index", index, "application/json").ok);
        if (signatureText != nullptr) {
            EXPECT_TRUE(client.PutBlob(product + "-v2", "index.sig", *signatureText).ok);
        }
        return product;
    }

    LocalStore mStore;
    std::string mIndex;
    std::string mSignatureText;
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

TEST_F(SignedIndexE2eTest, ChangedOrUnsignedIndexEndsTheLaunchWithNothingWritten) {
    std::string changed = mIndex;
    changed.insert(changed.rfind('}'), " ");
    struct Case {
        const char* name;
        std::string index;
        bool withSignature;
        std::string message;  // after the product
    };
    const Case cases[] = {
        {"changed after signing", changed, true,
         " does not match: the index was not signed by its publisher or was changed since"},
        {"no index.sig", mIndex, false, " is not signed by its publisher: index.sig is missing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string product =
            PublishCopy(c.index, c.withSignature ? &mSignatureText : nullptr);
        LauncherSandbox sandbox(product, SETUP_LAUNCHER_CONFIGURED_BINARY);
        const LaunchResult result = sandbox.Launch("\n\n\ny\n\n");
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_NE(result.err.find("Setup launcher: The "), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(product + c.message + "\n"), std::string::npos) << result.err;
        EXPECT_NE(result.log.find("throwing DownloadException(The "), std::string::npos);
        EXPECT_EQ(result.out.find("Version"), std::string::npos) << "no dialog: " << result.out;
        EXPECT_TRUE(IsEmptyFolder(sandbox.downloads()));
    }
    // The launcher with an empty key list takes the changed index as the store serves it.
    const std::string product = PublishCopy(changed, &mSignatureText);
    LauncherSandbox unsignedSandbox(product);
    const LaunchResult result = unsignedSandbox.Launch("");
    EXPECT_EQ(result.log.find("throwing DownloadException"), std::string::npos) << result.log;
}

}  // namespace
