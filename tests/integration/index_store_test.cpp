// The launcher's reads against the local blob store, with objects published through the store
// client: the release index host-style over HTTPS, ranged reads, blobs put in blocks, and the
// store's refusal of a wrong key.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "catalogue/index_retrieval.h"
#include "core/base64.h"
#include "core/endpoints.h"
#include "core/text_conversion.h"
#include "net/http_transfer.h"
#include "support/local_store.h"
#include "support/process_seams.h"
#include "support/test_environment.h"
#include "tools/store/store_client.h"

namespace {

// A name no earlier run against the same (in-memory) store has used.
std::string UniqueName(const std::string& prefix) {
    static std::atomic<int> counter{0};
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return prefix + "-" + std::to_string(getpid()) + "-" +
           std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now).count() %
                          100000000) +
           "-" + std::to_string(counter++);
}

StoreAccount AccountOf(const LocalStore& store) {
    return StoreAccount{store.account, store.accountKey, store.blob, store.table};
}

class IndexStoreTest : public ::testing::Test {
  protected:
    ScopedSeams seams;
};

TEST_F(IndexStoreTest, PublishedIndexIsFetchedHostStyleOverHttps) {
    REQUIRE_LOCAL_STORE(store);
    ASSERT_TRUE(store.blob.secure);
    ASSERT_NE(store.blob.host.find(u".blob.localhost"), std::u16string::npos)
        << "host-style endpoint expected";
    BlobStoreClient client(AccountOf(store));
    const std::string product = UniqueName("tarnwick-x64-sql");
    const std::string index =
        R"({"current_release":"2024.1","releases":{"2024.1":{"release":"Tarnwick 2024.1"}}})";
    const StoreResult container = client.CreateContainer(product + "-v2");
    ASSERT_TRUE(container.ok) << container.message;
    const StoreResult put = client.PutBlob(product + "-v2", "index", index, "application/json");
    ASSERT_TRUE(put.ok) << put.message;

    // Only the generated authority vouches for the store's certificate.
    ScopedEnv trust("SETUP_LAUNCHER_CA_FILE", store.caFile);
    DownloadHost = store.blob;
    std::string error;
    const ProductCatalog catalog = FetchReleaseIndex(ToUtf16(product), error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(catalog["current_release"].String(), "2024.1");
    EXPECT_EQ(catalog["releases"]["2024.1"]["release"].String(), "Tarnwick 2024.1");

    // Without that authority the same store is refused.
    ScopedEnv distrust("SETUP_LAUNCHER_CA_FILE", std::nullopt);
    EXPECT_TRUE(FetchReleaseIndex(ToUtf16(product), error).IsNull());
}

TEST_F(IndexStoreTest, BlobsPutInBlocksReadBackByRange) {
    REQUIRE_LOCAL_STORE(store);
    BlobStoreClient client(AccountOf(store));
    const std::string container = UniqueName("blocks");
    ASSERT_TRUE(client.CreateContainer(container).ok);
    ASSERT_TRUE(client.CreateContainer(container).ok) << "an existing container is fine";

    TempDir dir;
    std::string content(300 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i * 131) % 251);
    WriteFileBytes(dir.path() / "release.zip", content);
    std::uint64_t lastReported = 0;
    const StoreResult put = client.PutBlobFromFile(
        container, "2024.1/release.zip", dir.path() / "release.zip", "application/zip",
        [&lastReported](std::uint64_t sent, std::uint64_t) { lastReported = sent; }, 64 * 1024);
    ASSERT_TRUE(put.ok) << put.message;
    EXPECT_EQ(lastReported, content.size());

    const auto properties = client.GetBlobProperties(container, "2024.1/release.zip");
    ASSERT_TRUE(properties);
    EXPECT_EQ(properties->size, content.size());
    EXPECT_EQ(properties->contentType, "application/zip");

    ScopedEnv trust("SETUP_LAUNCHER_CA_FILE", store.caFile);
    const std::u16string path = ToUtf16(container + "/2024.1/release.zip");
    std::string whole, piece, tail;
    EXPECT_TRUE(HttpGetText(store.blob.host, path, whole, std::nullopt, store.blob.secure,
                            store.blob.port));
    EXPECT_TRUE(whole == content);
    EXPECT_TRUE(HttpGetText(store.blob.host, path, piece, ByteRange{65536, 65536 + 9},
                            store.blob.secure, store.blob.port));
    EXPECT_EQ(piece, content.substr(65536, 10));
    const auto size = static_cast<std::uint64_t>(content.size());
    EXPECT_TRUE(HttpGetText(store.blob.host, path, tail, ByteRange{size - 5, size + 100},
                            store.blob.secure, store.blob.port));
    EXPECT_EQ(tail, content.substr(content.size() - 5));
}

TEST_F(IndexStoreTest, StoreRefusesAWrongKeyAndReportsMissingBlobs) {
    REQUIRE_LOCAL_STORE(store);
    StoreAccount wrong = AccountOf(store);
    wrong.key = Base64Encode(std::string(64, 'x'));
    const StoreResult refused = BlobStoreClient(wrong).CreateContainer(UniqueName("refused"));
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.status, 403);
    EXPECT_NE(refused.message, "");  // the store's error code and text

    BlobStoreClient client(AccountOf(store));
    StoreResult missing;
    EXPECT_FALSE(client.GetBlobProperties(UniqueName("nothing"), "index", &missing));
    EXPECT_EQ(missing.status, 404);
    const StoreResult table = client.CreateTable("downloads");
    EXPECT_TRUE(table.ok) << table.message;
}

}  // namespace
