// Downloads over several connections at once: whatever arrives out of order or goes wrong on one
// connection, the file on disk is a prefix of verified blocks and ends verified.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/endpoints.h"
#include "core/hash_context.h"
#include "core/setup_log.h"
#include "download/archive_download.h"
#include "download/block_fetcher.h"
#include "download/image_download.h"
#include "support/process_seams.h"
#include "support/progress_recorder.h"
#include "support/scripted_server.h"
#include "support/test_digests.h"
#include "support/test_environment.h"

namespace {
constexpr char kFileObject[] = "c/release.bin";
constexpr char kFilePath[] = "/c/release.bin";

std::string Range(std::uint64_t first, std::uint64_t last) {
    return "bytes=" + std::to_string(first) + "-" + std::to_string(last);
}

class DownloadParallelTest : public ::testing::Test {
  protected:
    ScopedSeams seams;
    TempDir dir;
    TrustTestAuthority trust;
    ScopedEnv tmp{"TMPDIR", dir.path().string()};
    ProgressRecorder views;
    std::mutex sleepsMutex;
    std::vector<std::uint64_t> sleeps;
    std::unique_ptr<ScriptedServer> server;
    SetupSelection selection;
    std::string release;

    void SetUp() override {
        SetSleeper([this](std::uint64_t ms) {
            std::lock_guard lock(sleepsMutex);
            sleeps.push_back(ms);
        });
        SetDownloadConnectionLimits({2, 8});
        selection.containername = "c";
        selection.filename = "release.bin";
        selection.destination = dir.folder() + u"dest/";
    }

    void StartServer(ScriptedServer::Options options) {
        options.keepAlive = true;
        options.countConnections = true;
        server = std::make_unique<ScriptedServer>(options);
        DownloadHost = Endpoint{server->Host(), server->Port(), true};
    }

    // Publishes an "arc" release cut into blocks of blockSize with its digest list.
    void PublishArchive(std::string data, std::uint64_t blockSize) {
        release = std::move(data);
        server->PutObject(kFileObject, release);
        server->PutObject("c/release.blocks", DigestListJson(DigestsOf(release, blockSize)));
        selection.filetype = "arc";
        selection.blockhash = "release.blocks";
        selection.blocksize = blockSize;
        selection.filesize = release.size();
        selection.hash = HashText(release, "SHA256", true);
    }

    std::filesystem::path LocalFile() const { return dir.path() / "dest" / "release.bin"; }

    std::map<std::string, int> RangeCounts() const {
        std::map<std::string, int> counts;
        for (const RecordedRequest& request : server->Requests()) {
            if (request.path == kFilePath) ++counts[request.Header("Range").value_or("(none)")];
        }
        return counts;
    }

    // Every block of the grid asked for once.
    std::map<std::string, int> OncePerBlock(std::uint64_t blockSize) const {
        std::map<std::string, int> counts;
        for (std::uint64_t first = 0; first < release.size(); first += blockSize) {
            counts[Range(first, std::min<std::uint64_t>(first + blockSize, release.size()) - 1)] =
                1;
        }
        return counts;
    }

    std::string Failure() {
        try {
            if (selection.filetype == "iso") {
                DownloadImage(selection);
            } else {
                DownloadArchive(selection);
            }
            return {};
        } catch (const DownloadException& error) {
            return error.what();
        }
    }

    void ExpectProgressInBlockOrder(std::uint32_t blocks) const {
        const std::vector<std::uint32_t> positions = views.Positions();
        EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
        ASSERT_FALSE(views.states.empty());
        EXPECT_EQ(views.states.back().position, blocks);
        EXPECT_EQ(views.open, 0);
    }
};

TEST_F(DownloadParallelTest, AFaultOnOneConnectionCostsOnlyItsBlock) {
    constexpr std::uint64_t kBlock = 65536;
    constexpr std::uint64_t kBad = 5;
    struct Case {
        const char* name;
        void (*spoil)(Reply&);
    };
    const Case cases[] = {
        {"a block whose bytes do not match", [](Reply& reply) { reply.body[100] ^= 1; }},
        {"a connection cut in the middle of a block",
         [](Reply& reply) { reply.cutAfter = reply.body.size() / 2; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartServer({});
        PublishArchive(NoiseBytes(40 * kBlock + 123, 11), kBlock);
        sleeps.clear();
        std::filesystem::remove_all(dir.path() / "dest");
        views.states.clear();
        std::atomic<bool> spoiled{false};
        server->SetHook([&](const RecordedRequest& request, Reply& reply) {
            if (request.Header("Range") == Range(kBad * kBlock, (kBad + 1) * kBlock - 1) &&
                !spoiled.exchange(true)) {
                c.spoil(reply);
            }
        });

        EXPECT_EQ(Failure(), "");
        EXPECT_TRUE(ReadFileBytes(LocalFile()) == release);
        std::map<std::string, int> expected = OncePerBlock(kBlock);
        expected[Range(kBad * kBlock, (kBad + 1) * kBlock - 1)] = 2;
        EXPECT_EQ(RangeCounts(), expected) << "the blocks on the other connections went on";
        EXPECT_EQ(sleeps, std::vector<std::uint64_t>{2000});
        EXPECT_GE(server->PeakConnections(), 2u);
        ExpectProgressInBlockOrder(41);
    }
}

TEST_F(DownloadParallelTest, AServerThatResetsExtraConnectionsStillGivesAVerifiedFile) {
    constexpr std::uint64_t kBlock = 65536;
    SetDownloadConnectionLimits({8, 8});
    ScriptedServer::Options options;
    options.connectionLimit = 2;
    StartServer(options);
    PublishArchive(NoiseBytes(48 * kBlock, 11), kBlock);

    EXPECT_EQ(Failure(), "");
    EXPECT_TRUE(ReadFileBytes(LocalFile()) == release);
    EXPECT_EQ(RangeCounts(), OncePerBlock(kBlock));
    EXPECT_GT(server->RefusedConnections(), 0u) << "the download did try more connections";
    ExpectProgressInBlockOrder(48);
}

// A server that allows two connections and still counts the launch's own one for a while after
// it was closed refuses one of the two the pool starts with: that one waits and tries again, and
// the download runs over two connections, not one.
TEST_F(DownloadParallelTest, AStartConnectionRefusedWhileAClosedOneStillCountsTriesAgain) {
    constexpr std::uint64_t kBlock = 65536;
    SetDownloadConnectionLimits({2, 2});
    ScriptedServer::Options options;
    options.connectionLimit = 2;
    options.holdClosedConnections = true;
    options.requestsPerConnection = 1000;  // no connection ends while the blocks come
    StartServer(options);
    PublishArchive(NoiseBytes(48 * kBlock, 11), kBlock);
    // While the connection waits, the server notices the closed one (the wait lasts until the
    // server no longer counts it, within a bound).
    SetSleeper([this](std::uint64_t ms) {
        {
            std::lock_guard lock(sleepsMutex);
            sleeps.push_back(ms);
        }
        server->ReleaseClosedConnections();
        for (int i = 0; i < 5000 && server->OpenConnections() >= 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // The blocks of the connection that got in wait (within a bound) until a second connection
    // asks for blocks too: over loopback one connection could fetch the whole file meanwhile.
    std::mutex connectionsMutex;
    std::condition_variable secondConnection;
    std::set<int> connections;
    server->SetHook([&](const RecordedRequest& request, Reply&) {
        if (request.path != kFilePath) return;
        std::unique_lock lock(connectionsMutex);
        connections.insert(request.remotePort);
        secondConnection.notify_all();
        secondConnection.wait_for(lock, std::chrono::seconds(5),
                                  [&] { return connections.size() >= 2; });
    });

    EXPECT_EQ(Failure(), "");
    EXPECT_TRUE(ReadFileBytes(LocalFile()) == release);
    EXPECT_EQ(RangeCounts(), OncePerBlock(kBlock));
    EXPECT_GE(server->RefusedConnections(), 1u);
    EXPECT_EQ(sleeps, std::vector<std::uint64_t>{500});
    std::lock_guard lock(connectionsMutex);
    EXPECT_EQ(connections.size(), 2u) << "the blocks came over two connections";
}

TEST_F(DownloadParallelTest, ALargeBlockComesInPiecesAndIsCheckedWhole) {
    constexpr std::uint64_t kBlock = 20 * 1024 * 1024;
    StartServer({});
    PublishArchive(NoiseBytes(kBlock + 1000, 11), kBlock);
    // A piece in the middle of the first block arrives wrong once: the whole block is fetched
    // again.
    const std::string middle = Range(6990507, 13981013);
    std::atomic<bool> spoiled{false};
    server->SetHook([&](const RecordedRequest& request, Reply& reply) {
        if (request.Header("Range") == middle && !spoiled.exchange(true)) {
            reply.body[0] ^= 1;
        }
    });

    EXPECT_EQ(Failure(), "");
    EXPECT_TRUE(ReadFileBytes(LocalFile()) == release);
    EXPECT_EQ(RangeCounts(), (std::map<std::string, int>{{Range(0, 6990506), 2},
                                                         {middle, 2},
                                                         {Range(13981014, kBlock - 1), 2},
                                                         {Range(kBlock, kBlock + 999), 1}}));
    EXPECT_EQ(sleeps, std::vector<std::uint64_t>{2000});
    ExpectProgressInBlockOrder(2);
}

TEST_F(DownloadParallelTest, AFailedBlockLeavesExactlyTheVerifiedPrefixForTheNextLaunch) {
    constexpr std::uint64_t kBlock = 65536;
    constexpr std::uint64_t kFailing = 12;
    StartServer({});
    PublishArchive(NoiseBytes(40 * kBlock, 11), kBlock);
    const std::string failing = Range(kFailing * kBlock, (kFailing + 1) * kBlock - 1);
    server->SetHook([&](const RecordedRequest& request, Reply& reply) {
        if (request.Header("Range") == failing) reply = Reply::Status(500);
    });

    EXPECT_EQ(Failure(), "Error during downloading archive");
    // Blocks after the failed one may have arrived; none of them reached the file.
    EXPECT_TRUE(ReadFileBytes(LocalFile()) == release.substr(0, kFailing * kBlock));

    server->SetHook(nullptr);
    server->ClearRequests();
    EXPECT_EQ(Failure(), "");
    EXPECT_TRUE(ReadFileBytes(LocalFile()) == release);
    std::map<std::string, int> expected;
    for (std::uint64_t block = kFailing; block < 40; ++block)
        expected[Range(block * kBlock, (block + 1) * kBlock - 1)] = 1;
    EXPECT_EQ(RangeCounts(), expected);
}

TEST_F(DownloadParallelTest, ImageChunksCutOffAreCompletedFromWhereTheyBrokeOff) {
    constexpr std::uint64_t kHalfChunk = ImageChunkSize / 2;
    StartServer({});
    release = NoiseBytes(3 * ImageChunkSize + 1000, 11);
    server->PutObject(kFileObject, release);
    selection.filetype = "iso";
    selection.filesize = release.size();
    selection.hash = HashText(release, "SHA256", true);
    // Each 10 MiB chunk comes as two pieces; the second piece of the first chunk breaks off.
    const std::string second = Range(kHalfChunk, ImageChunkSize - 1);
    std::atomic<bool> cut{false};
    server->SetHook([&](const RecordedRequest& request, Reply& reply) {
        if (request.Header("Range") == second && !cut.exchange(true)) {
            reply.cutAfter = 1000;
        }
    });

    EXPECT_EQ(Failure(), "");
    EXPECT_TRUE(ReadFileBytes(LocalFile()) == release);
    EXPECT_EQ(RangeCounts()[Range(kHalfChunk + 1000, ImageChunkSize - 1)], 1);
    EXPECT_TRUE(sleeps.empty());
    ExpectProgressInBlockOrder(3);
}

TEST(DownloadConnectionCountTest, GrowsWhileEachConnectionKeepsItsRate) {
    struct Case {
        const char* name;
        // connections, delivering, rate of all, rate of one while it receives, best such rate
        ConnectionMeasure measure;
        std::size_t cap;
        std::uint64_t waiting;
        std::size_t next;
    };
    const Case cases[] = {
        {"the first window doubles", {2, 2, 20.0, 10.0, 10.0}, 8, 100, 4},
        {"one opening beside two proven", {3, 2, 20.0, 10.0, 10.0}, 8, 100, 4},
        {"as many opening as proven", {4, 2, 20.0, 10.0, 10.0}, 8, 100, 4},
        {"none delivering yet", {2, 0, 0.0, 0.0, 0.0}, 8, 100, 2},
        // Each connection waits a round trip between its requests: the rate of all of them is
        // well below four times the best, yet each still receives at it.
        {"gaps between requests are no sharing", {4, 4, 26.0, 9.0, 10.0}, 8, 100, 8},
        {"the line is shared", {5, 5, 38.0, 7.6, 10.0}, 8, 100, 5},
        {"the cap bounds the step", {5, 5, 45.0, 9.5, 10.0}, 8, 100, 8},
        {"at the cap", {8, 8, 80.0, 10.0, 10.0}, 8, 100, 8},
        {"no more pieces than connections", {3, 3, 30.0, 10.0, 10.0}, 8, 3, 3},
        {"the pieces waiting bound the step", {3, 3, 30.0, 10.0, 10.0}, 8, 5, 5},
        {"a refused connection still counted as delivering", {2, 3, 30.0, 10.0, 10.0}, 8, 100, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(NextConnectionCount(c.measure, c.cap, c.waiting), c.next);
    }
}
}  // namespace
