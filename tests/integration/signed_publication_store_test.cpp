// Signed publications in the local blob store: upload --signing-key puts index.sig beside the
// index, and verify --public-key accepts it and names what is wrong with a changed, unsigned or
// differently signed index.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "support/local_store.h"
#include "support/publisher_process.h"
#include "support/test_environment.h"
#include "tools/store/store_client.h"

namespace fs = std::filesystem;

namespace {

std::string UniqueProduct() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return "signed-test-" + std::to_string(getpid()) + "-" +
           std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now).count() %
                          100000000);
}

class SignedPublicationStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string missing;
        if (!LocalStoreFromEnvironment(&missing)) GTEST_SKIP() << LocalStoreSkipMessage(missing);
    }

    TempDir dir;
    ScopedEnv tmp{"TMPDIR", dir.path().string()};
    const std::string product = UniqueProduct();
    const fs::path staging = dir.path() / "staging";

    // A new key pair: the private key file and the public key text keygen printed.
    std::pair<fs::path, std::string> Keygen(const std::string& name) {
        const fs::path file = dir.path() / name;
        const PublisherRun run = RunPublisher({"keygen", "-o", file.string()});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        std::string key = run.out;
        while (!key.empty() && key.back() == '\n') key.pop_back();
        return {file, key};
    }

    void StageRelease() {
        fs::create_directories(dir.path() / "in");
        WriteFileBytes(dir.path() / "in" / "readme.txt", "signed\n");
        const fs::path package = dir.path() / "package.zip";
        ASSERT_EQ(
            RunPublisher({"pack", (dir.path() / "in").string(), "-o", package.string()}).exitCode,
            0);
        ASSERT_EQ(RunPublisher({"release", package.string(), "-s", staging.string(), "-p", product,
                                "-r", "1.0", "--current", "-b", "4KiB"})
                      .exitCode,
                  0);
    }
};

TEST_F(SignedPublicationStoreTest, VerifyAcceptsTheSignedIndexAndNamesEachFault) {
    const auto [key, publicKey] = Keygen("signing.key");
    const auto [otherKey, otherPublicKey] = Keygen("other.key");
    StageRelease();
    const PublisherRun upload = RunPublisher(
        {"upload", "-s", staging.string(), "-p", product, "--signing-key", key.string()});
    ASSERT_EQ(upload.exitCode, 0) << upload.err;
    // index.sig goes up right after the index.
    EXPECT_NE(upload.out.find("uploaded " + product + "-v2/index\nuploaded " + product +
                              "-v2/index.sig\n"),
              std::string::npos)
        << upload.out;

    const PublisherRun signedRun =
        RunPublisher({"verify", "-p", product, "--public-key", publicKey});
    EXPECT_EQ(signedRun.exitCode, 0) << signedRun.out << signedRun.err;
    EXPECT_NE(signedRun.out.find("index.sig: the index is signed with the given key"),
              std::string::npos)
        << signedRun.out;

    const PublisherRun otherRun =
        RunPublisher({"verify", "-p", product, "--public-key", otherPublicKey});
    EXPECT_EQ(otherRun.exitCode, 1);
    EXPECT_NE(otherRun.out.find("FAULT: " + product + "-v2/index.sig does not match"),
              std::string::npos)
        << otherRun.out;

    // The index changed in the store after it was signed (one byte more).
    BlobStoreClient client(*StoreAccountFromEnvironment());
    const std::string index = ReadFileBytes(staging / (product + "-v2") / "index");
    ASSERT_TRUE(client.PutBlob(product + "-v2", "index", index + " ", "application/json").ok);
    const PublisherRun changed = RunPublisher({"verify", "-p", product, "--public-key", publicKey});
    EXPECT_EQ(changed.exitCode, 1);
    EXPECT_NE(changed.out.find("does not match: the index was changed after it was signed"),
              std::string::npos)
        << changed.out;

    ASSERT_TRUE(client.PutBlob(product + "-v2", "index", index, "application/json").ok);
    ASSERT_TRUE(client.PutBlob(product + "-v2", "index.sig", "c2lnbmF0dXJl\n", "text/plain").ok);
    const PublisherRun malformed =
        RunPublisher({"verify", "-p", product, "--public-key", publicKey});
    EXPECT_EQ(malformed.exitCode, 1);
    EXPECT_NE(malformed.out.find("index.sig is malformed"), std::string::npos) << malformed.out;
}

TEST_F(SignedPublicationStoreTest, UnsignedUploadIsUnchangedAndVerifyCallsItUnsigned) {
    StageRelease();
    const PublisherRun upload = RunPublisher({"upload", "-s", staging.string(), "-p", product});
    ASSERT_EQ(upload.exitCode, 0) << upload.err;
    EXPECT_EQ(upload.out.find("index.sig"), std::string::npos) << upload.out;
    EXPECT_EQ(RunPublisher({"verify", "-p", product}).exitCode, 0);

    const auto [key, publicKey] = Keygen("signing.key");
    const PublisherRun verify = RunPublisher({"verify", "-p", product, "--public-key", publicKey});
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_NE(verify.out.find(product + "-v2/index.sig is missing: the index is not signed"),
              std::string::npos)
        << verify.out;
}

// Signed at staging by release, published as reviewed by upload; a later release without the key
// removes the staged signature that no longer matches.
TEST_F(SignedPublicationStoreTest, SignatureMadeAtStagingIsUploadedWithTheIndex) {
    const auto [key, publicKey] = Keygen("signing.key");
    fs::create_directories(dir.path() / "in");
    WriteFileBytes(dir.path() / "in" / "readme.txt", "signed\n");
    const fs::path package = dir.path() / "package.zip";
    ASSERT_EQ(RunPublisher({"pack", (dir.path() / "in").string(), "-o", package.string()}).exitCode,
              0);
    const std::vector<std::string> release = {"release",  package.string(), "-s", staging.string(),
                                              "-p",       product,          "-r", "1.0",
                                              "--current"};
    std::vector<std::string> signedRelease = release;
    signedRelease.insert(signedRelease.end(), {"--signing-key", key.string()});
    ASSERT_EQ(RunPublisher(signedRelease).exitCode, 0);
    ASSERT_EQ(
        RunPublisher({"verify", "-s", staging.string(), "-p", product, "--public-key", publicKey})
            .exitCode,
        0);
    ASSERT_EQ(RunPublisher({"upload", "-s", staging.string(), "-p", product}).exitCode, 0);
    EXPECT_EQ(RunPublisher({"verify", "-p", product, "--public-key", publicKey}).exitCode, 0);

    const PublisherRun unsignedRelease = RunPublisher(release);
    EXPECT_NE(unsignedRelease.out.find("no longer matches the changed index"), std::string::npos)
        << unsignedRelease.out;
    EXPECT_FALSE(fs::exists(staging / (product + "-v2") / "index.sig"));
}

}  // namespace
