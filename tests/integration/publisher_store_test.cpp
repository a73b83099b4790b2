// setup-publisher against the local blob store: what upload publishes is what the launcher reads
// (its index retrieval and ranged reads), verify accepts it, and a staged file changed after
// release is never published.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "catalogue/index_retrieval.h"
#include "core/endpoints.h"
#include "core/text_conversion.h"
#include "net/http_transfer.h"
#include "support/local_store.h"
#include "support/process_seams.h"
#include "support/publisher_process.h"
#include "support/test_environment.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBlock = 64 * 1024;

// A product name no earlier run against the same (in-memory) store has used.
std::string UniqueProduct() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return "publisher-test-" + std::to_string(getpid()) + "-" +
           std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now).count() %
                          100000000);
}

std::string PseudoRandomBytes(std::size_t length, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(length, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(generator() & 0xff);
    }
    return bytes;
}

class PublisherStoreTest : public ::testing::Test {
  protected:
    ScopedSeams seams;
    TempDir dir;
    ScopedEnv tmp{"TMPDIR", dir.path().string()};
    const std::string product = UniqueProduct();
    const fs::path staging = dir.path() / "staging";

    // Packs a small folder and stages it as the product's current release 2024.1.
    std::string StageRelease(const std::string& randomContent) {
        const fs::path in = dir.path() / "in";
        fs::create_directories(in / "bin");
        WriteFileBytes(in / "bin" / "data.bin", randomContent);
        WriteFileBytes(in / "setup.sh", "#!/bin/sh\necho setup\n");
        WriteFileBytes(in / "setup-copy.sh", "#!/bin/sh\necho setup\n");
        WriteFileBytes(dir.path() / "commands", "* * setup.sh\n");
        const fs::path package = dir.path() / "package.zip";
        const PublisherRun pack = RunPublisher({"pack", in.string(), "-o", package.string(), "-s",
                                                (dir.path() / "commands").string()});
        EXPECT_EQ(pack.exitCode, 0) << pack.err;
        const PublisherRun release =
            RunPublisher({"release", package.string(), "-s", staging.string(), "-p", product, "-r",
                          "2024.1", "-t", "Tarnwick 2024.1", "-b", "64KiB", "--current"});
        EXPECT_EQ(release.exitCode, 0) << release.err;
        return ReadFileBytes(package);
    }

  private:
};

TEST_F(PublisherStoreTest, UploadedReleaseIsWhatTheLauncherReads) {
    REQUIRE_LOCAL_STORE(store);
    const std::string package = StageRelease(PseudoRandomBytes(3 * kBlock, 11));
    ASSERT_GT(package.size(), 3 * kBlock);

    const PublisherRun upload = RunPublisher({"upload", "-s", staging.string(), "-p", product});
    ASSERT_EQ(upload.exitCode, 0) << upload.out << upload.err;
    EXPECT_NE(upload.out.find("uploaded " + product + "-v2/index"), std::string::npos);

    DownloadHost = store.blob;
    std::string error;
    const ProductCatalog catalog = FetchReleaseIndex(ToUtf16(product), error);
    ASSERT_TRUE(catalog.IsObject()) << error;
    EXPECT_EQ(catalog["current_release"].String(), "2024.1");
    const JsonValue release = catalog["releases"]["2024.1"];
    EXPECT_EQ(release["filesize"].Number(), package.size());
    const std::string object =
        release["containername"].String() + "/" + release["filename"].String();

    // A range across a block boundary, as the launcher asks for blocks.
    std::string piece;
    ASSERT_TRUE(HttpGetText(store.blob.host, ToUtf16(object), piece,
                            ByteRange{kBlock - 10, kBlock + 99}, store.blob.secure,
                            store.blob.port));
    EXPECT_EQ(piece, package.substr(kBlock - 10, 110));
    std::string list;
    ASSERT_TRUE(HttpGetText(
        store.blob.host,
        ToUtf16(release["containername"].String() + "/" + release["blockhash"].String()), list,
        std::nullopt, store.blob.secure, store.blob.port));
    EXPECT_EQ(JsonValue::Parse(list).Elements().size(), (package.size() + kBlock - 1) / kBlock);

    const PublisherRun verify = RunPublisher({"verify", "-p", product});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
    EXPECT_NE(verify.out.find("All 1 edition verified."), std::string::npos) << verify.out;
}

TEST_F(PublisherStoreTest, StagedFileChangedAfterReleaseIsNotPublished) {
    REQUIRE_LOCAL_STORE(store);
    StageRelease(PseudoRandomBytes(kBlock, 12));
    ASSERT_EQ(RunPublisher({"upload", "-s", staging.string(), "-p", product}).exitCode, 0);
    DownloadHost = store.blob;
    std::string error;
    const std::string published =
        FetchReleaseIndex(ToUtf16(product), error)["releases"]["2024.1"]["hash"].String();
    ASSERT_FALSE(published.empty()) << error;

    // Something writes into the staged file after release.
    const fs::path staged = staging / product / (product + "-2024.1.zip");
    ASSERT_TRUE(fs::exists(staged));
    std::string bytes = ReadFileBytes(staged);
    bytes[100] = static_cast<char>(bytes[100] ^ 1);
    WriteFileBytes(staged, bytes);
    const PublisherRun upload = RunPublisher({"upload", "-s", staging.string(), "-p", product});
    EXPECT_EQ(upload.exitCode, 1);
    EXPECT_NE(upload.err.find("no longer matches the index"), std::string::npos) << upload.err;

    const PublisherRun verify = RunPublisher({"verify", "-p", product});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
}

}  // namespace
