// A link that breaks every few MiB: 64 MiB releases still arrive whole and verified, and only the
// interrupted blocks (or the rest of the interrupted chunks) are fetched again.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/endpoints.h"
#include "core/hash_context.h"
#include "download/archive_download.h"
#include "download/block_fetcher.h"
#include "download/image_download.h"
#include "support/process_seams.h"
#include "support/progress_recorder.h"
#include "support/release_download_fixture.h"
#include "support/scripted_server.h"
#include "support/test_environment.h"

namespace {
constexpr std::uint64_t MiB = 1048576;
constexpr std::uint64_t kReleaseSize = 64 * MiB;

const std::string& ReleaseBytes() {
    static const std::string bytes = [] {
        std::string data(kReleaseSize, '\0');
        std::mt19937 random(11);
        for (std::size_t at = 0; at < data.size(); at += 4) {
            const std::uint32_t word = random();
            for (std::size_t i = 0; i < 4; ++i) data[at + i] = static_cast<char>(word >> (8 * i));
        }
        return data;
    }();
    return bytes;
}

// Cuts the connection after a random 2 to 6 MiB of release bytes, again and again; seeded, so
// every run breaks at the same points.
class FlakyLink {
  public:
    explicit FlakyLink(ScriptedServer& server) {
        server.SetHook([this](const RecordedRequest& request, Reply& reply) {
            if (request.path != "/c/release.bin" || reply.status != 206) return;
            std::lock_guard lock(mMutex);
            if (mUntilCut < reply.body.size()) {
                reply.cutAfter = mUntilCut;
                mSent += mUntilCut;
                ++mCuts[request.Header("Range").value_or("")];
                mUntilCut = NextGap();
            } else {
                mUntilCut -= reply.body.size();
                mSent += reply.body.size();
            }
        });
    }
    // How often a reply was cut, by the range it answered.
    std::map<std::string, int> Cuts() {
        std::lock_guard lock(mMutex);
        return mCuts;
    }

    // Release bytes sent in all.
    std::uint64_t Sent() {
        std::lock_guard lock(mMutex);
        return mSent;
    }

  private:
    std::size_t NextGap() {
        return std::uniform_int_distribution<std::size_t>(2 * MiB, 6 * MiB)(mRandom);
    }
    std::mutex mMutex;
    std::mt19937 mRandom{2024};
    std::size_t mUntilCut = NextGap();
    std::map<std::string, int> mCuts;
    std::uint64_t mSent = 0;
};

class DownloadFlakyLinkTest : public ReleaseDownloadTest {
  protected:
    void SetUp() override {
        ReleaseDownloadTest::SetUp();
        server.PutObject("c/release.bin", ReleaseBytes());
        selection.filename = "release.bin";
        selection.filesize = kReleaseSize;
        selection.hash = HashText(ReleaseBytes(), "SHA256", true);
    }

    void PublishDigestList(std::uint64_t blockSize) {
        std::string list = "[";
        for (std::uint64_t at = 0; at < kReleaseSize; at += blockSize) {
            list += (at == 0 ? "\"" : ",\"") +
                    Md5Hex(std::string_view(ReleaseBytes()).substr(at, blockSize)) + "\"";
        }
        server.PutObject("c/release.blocks", list + "]");
        selection.blockhash = "release.blocks";
        selection.blocksize = blockSize;
    }

    std::vector<std::string> Ranges() const {
        std::vector<std::string> ranges;
        for (const RecordedRequest& request : server.Requests()) {
            if (request.path == "/c/release.bin") {
                ranges.push_back(request.Header("Range").value_or("(none)"));
            }
        }
        return ranges;
    }
    bool ArrivedWhole() const {
        return ReadFileBytes(dir.path() / "dest" / "release.bin") == ReleaseBytes();
    }
};

TEST_F(DownloadFlakyLinkTest, VerifiedBlocksFetchAgainOnlyTheInterruptedOnes) {
    struct Case {
        const char* name;
        const char* filetype;
        std::uint64_t blockSize;
    };
    for (const Case& c :
         {Case{"arc", "arc", 1 * MiB}, Case{"iso with digest list", "iso", 4 * MiB}}) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir.path() / "dest");
        server.ClearRequests();
        sleeps.clear();
        FlakyLink link(server);
        PublishDigestList(c.blockSize);
        selection.filetype = c.filetype;
        ASSERT_NO_THROW(selection.filetype == std::string("iso") ? DownloadImage(selection)
                                                                 : DownloadArchive(selection));
        EXPECT_TRUE(ArrivedWhole());

        std::map<std::string, int> expected;
        for (std::uint64_t at = 0; at < kReleaseSize; at += c.blockSize) {
            const std::string range =
                "bytes=" + std::to_string(at) + "-" + std::to_string(at + c.blockSize - 1);
            expected[range] = 1 + link.Cuts()[range];
        }
        std::map<std::string, int> asked;
        for (const std::string& range : Ranges()) ++asked[range];
        EXPECT_EQ(asked, expected);
        EXPECT_GE(sleeps.size(), 10u);  // the link did break
        EXPECT_EQ(sleeps, std::vector<std::uint64_t>(sleeps.size(), 2000));
    }
}

TEST_F(DownloadFlakyLinkTest, ChunksAreCompletedFromWhereTheyBrokeOff) {
    selection.filetype = "iso";
    FlakyLink link(server);
    ASSERT_NO_THROW(DownloadImage(selection));
    EXPECT_TRUE(ArrivedWhole());

    // Each chunk is asked for once, and once more for its rest after each cut: no byte is sent
    // twice.
    int cuts = 0;
    for (const auto& [range, count] : link.Cuts()) cuts += count;
    EXPECT_GE(cuts, 10);
    EXPECT_EQ(Ranges().size(), 6u + static_cast<std::size_t>(cuts));
    EXPECT_EQ(link.Sent(), kReleaseSize);
    EXPECT_TRUE(sleeps.empty());
}
}  // namespace
