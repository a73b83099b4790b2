// Signed publications in the local blob store: upload --signing-key puts the signed statement
// index.sig beside the index, each publication with a higher sequence; verify --public-key accepts
// it, prints what it states and names what is wrong with a changed, unsigned or differently signed
// index; an upload without a key never leaves a new index behind an old index.sig.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <regex>

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

    // The sequence verify --public-key printed; 0 when it printed none.
    static std::uint64_t PrintedSequence(const std::string& out) {
        std::smatch match;
        if (!std::regex_search(out, match, std::regex("sequence ([0-9]+), expires"))) return 0;
        return std::stoull(match[1]);
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
    EXPECT_NE(signedRun.out.find("index.sig: the index is signed with the given key (product " +
                                 product + ", sequence "),
              std::string::npos)
        << signedRun.out;
    EXPECT_NE(signedRun.out.find(", expires never)"), std::string::npos) << signedRun.out;
    const std::uint64_t first = PrintedSequence(signedRun.out);
    EXPECT_GE(first, static_cast<std::uint64_t>(std::time(nullptr) - 600));

    // Published again, with an expiry: the sequence goes up even within the same second.
    ASSERT_EQ(RunPublisher({"upload", "-s", staging.string(), "-p", product, "--index-only",
                            "--signing-key", key.string(), "--expires", "30"})
                  .exitCode,
              0);
    const PublisherRun again = RunPublisher({"verify", "-p", product, "--public-key", publicKey});
    EXPECT_EQ(again.exitCode, 0) << again.out;
    EXPECT_GT(PrintedSequence(again.out), first) << again.out;
    EXPECT_EQ(again.out.find("expires never"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find(" GMT)"), std::string::npos) << again.out;

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

// An upload without a key over a signed publication would strand the new index behind the old
// signature, which launchers that check signatures refuse: it is refused before anything goes up,
// unless --unsigned says so, which removes the old signature. A statement signed at staging that
// is older than the published one is refused as well.
TEST_F(SignedPublicationStoreTest, UploadNeverLeavesAnIndexBehindAStaleSignature) {
    const auto [key, publicKey] = Keygen("signing.key");
    StageRelease();
    const std::vector<std::string> upload = {"upload", "-s",    staging.string(),
                                             "-p",     product, "--index-only"};
    std::vector<std::string> signedUpload = upload;
    signedUpload.insert(signedUpload.end(), {"--signing-key", key.string()});
    ASSERT_EQ(RunPublisher(
                  {"upload", "-s", staging.string(), "-p", product, "--signing-key", key.string()})
                  .exitCode,
              0);
    BlobStoreClient client(*StoreAccountFromEnvironment());
    const auto signature = client.GetBlob(product + "-v2", "index.sig", 4096);
    ASSERT_TRUE(signature);

    // A staged statement older than the published one.
    const fs::path stagedSignature = staging / (product + "-v2") / "index.sig";
    WriteFileBytes(stagedSignature, "c2lnbmF0dXJl\n");
    PublisherRun run = RunPublisher(upload);
    EXPECT_NE(run.exitCode, 0);
    EXPECT_NE(run.err.find("is older than " + product + "-v2/index.sig"), std::string::npos)
        << run.err;
    fs::remove(stagedSignature);

    // Without a key and without --unsigned: refused, the store unchanged.
    const std::string index = ReadFileBytes(staging / (product + "-v2") / "index");
    WriteFileBytes(staging / (product + "-v2") / "index", index + " ");
    run = RunPublisher(upload);
    EXPECT_NE(run.exitCode, 0);
    EXPECT_NE(run.err.find("give --unsigned"), std::string::npos) << run.err;
    EXPECT_EQ(client.GetBlob(product + "-v2", "index", 1 << 20), index);
    EXPECT_EQ(client.GetBlob(product + "-v2", "index.sig", 4096), signature);

    std::vector<std::string> unsignedUpload = upload;
    unsignedUpload.push_back("--unsigned");
    run = RunPublisher(unsignedUpload);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("removed " + product + "-v2/index.sig"), std::string::npos) << run.out;
    EXPECT_EQ(client.GetBlob(product + "-v2", "index", 1 << 20), index + " ");
    StoreResult asked;
    EXPECT_FALSE(client.GetBlob(product + "-v2", "index.sig", 4096, &asked));
    EXPECT_EQ(asked.status, 404);
    EXPECT_NE(RunPublisher({"verify", "-p", product, "--public-key", publicKey})
                  .out.find("index.sig is missing"),
              std::string::npos);
}

}  // namespace
