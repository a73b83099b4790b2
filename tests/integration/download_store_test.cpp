// The downloads against the local blob store, with releases published through the store client:
// the store's own range answers (a last block shorter than asked for, chunks of an image) must
// give verified files, and a partial archive must be continued.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

#include "core/endpoints.h"
#include "core/hash_context.h"
#include "core/setup_log.h"
#include "download/archive_download.h"
#include "download/image_download.h"
#include "support/local_store.h"
#include "support/process_seams.h"
#include "support/progress_recorder.h"
#include "support/test_environment.h"
#include "tools/store/store_client.h"

namespace {
std::string UniqueContainer(const std::string& prefix) {
    static std::atomic<int> counter{0};
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return prefix + "-" + std::to_string(getpid()) + "-" +
           std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now).count() %
                          100000000) +
           "-" + std::to_string(counter++);
}

class DownloadStoreTest : public ::testing::Test {
  protected:
    ScopedSeams seams;
    TempDir dir;
    ScopedEnv tmp{"TMPDIR", dir.path().string()};
    ProgressRecorder views;
    SetupSelection selection;

    // Creates a container and puts the objects; the selection then names the container.
    void Publish(const LocalStore& store,
                 const std::vector<std::pair<std::string, std::string>>& objects) {
        BlobStoreClient client(
            StoreAccount{store.account, store.accountKey, store.blob, store.table});
        selection.containername = UniqueContainer("download");
        StoreResult created = client.CreateContainer(selection.containername);
        ASSERT_TRUE(created.ok) << created.message;
        for (const auto& [name, content] : objects) {
            StoreResult put = client.PutBlob(selection.containername, name, content);
            ASSERT_TRUE(put.ok) << put.message;
        }
        DownloadHost = store.blob;
        selection.destination = dir.folder() + u"dest/";
    }
    std::filesystem::path LocalFile() const { return dir.path() / "dest" / selection.filename; }
};

TEST_F(DownloadStoreTest, ArchiveInVerifiedBlocksIsFetchedAndContinued) {
    REQUIRE_LOCAL_STORE(store);
    const std::uint64_t block = 65536;
    const std::string release = NoiseBytes(10 * block + 1000, 3);  // the last block is short
    std::string list = "[";
    for (std::size_t at = 0; at < release.size(); at += block) {
        list +=
            (at == 0 ? "\"" : ",\"") + Md5Hex(std::string_view(release).substr(at, block)) + "\"";
    }
    list += "]";
    selection.filename = "release.zip";
    selection.blockhash = "release.blocks";
    selection.blocksize = block;
    selection.filesize = release.size();
    selection.hash = HashText(release, "SHA256", true);
    Publish(store, {{"release.zip", release}, {"release.blocks", list}});

    DownloadArchive(selection);
    EXPECT_TRUE(ReadFileBytes(LocalFile()) == release);

    // Three and a half blocks left by an interrupted launch are cut, checked and continued.
    WriteFileBytes(LocalFile(), release.substr(0, 7 * block / 2));
    views.states.clear();
    DownloadArchive(selection);
    EXPECT_TRUE(ReadFileBytes(LocalFile()) == release);
    ASSERT_FALSE(views.states.empty());
    EXPECT_EQ(views.Positions().front(), 0u);
    EXPECT_EQ(views.states.back().position, 11u);
}

TEST_F(DownloadStoreTest, ImageInChunksIsFetchedAndVerified) {
    REQUIRE_LOCAL_STORE(store);
    const std::string image = NoiseBytes(2 * ImageChunkSize + 12345, 5);  // two chunks
    selection.filename = "disc.iso";
    selection.filetype = "iso";
    selection.filesize = image.size();
    selection.hash = HashText(image, "SHA256", true);
    Publish(store, {{"disc.iso", image}});

    DownloadImage(selection);
    EXPECT_TRUE(ReadFileBytes(LocalFile()) == image);
    EXPECT_EQ(views.states.back().position, 2u);
}

TEST_F(DownloadStoreTest, ObjectNamesThatNeedEscapingAreFetched) {
    REQUIRE_LOCAL_STORE(store);
    const std::string release = NoiseBytes(3000, 7);
    const std::string list = "[\"" + Md5Hex(release) + "\"]";
    const std::vector<std::pair<std::string, std::string>> names = {
        {"CAD Setup 2024.zip", "CAD Setup 2024.blocks"},
        {"setup#2 100%.zip", "what?.blocks"},
        {"Größe ✓.zip", "Größe ✓.blocks"},
    };
    for (const auto& [file, blocks] : names) {
        SCOPED_TRACE(file);
        selection.filename = file;
        selection.blockhash = blocks;
        selection.blocksize = 4096;
        selection.filesize = release.size();
        selection.hash = HashText(release, "SHA256", true);
        // Decoys where a name cut at "#" or "?" would lead.
        Publish(store, {{file, release}, {blocks, list}, {"setup", "decoy"}, {"what", "[]"}});
        DownloadArchive(selection);
        EXPECT_TRUE(ReadFileBytes(LocalFile()) == release);
    }
}
}  // namespace
