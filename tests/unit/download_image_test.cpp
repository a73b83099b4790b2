#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/endpoints.h"
#include "core/hash_context.h"
#include "core/setup_log.h"
#include "download/block_fetcher.h"
#include "download/image_download.h"
#include "support/process_seams.h"
#include "support/progress_recorder.h"
#include "support/release_download_fixture.h"
#include "support/scripted_server.h"
#include "support/test_environment.h"

namespace {
constexpr std::uint64_t MiB = 1048576;
constexpr char kImagePath[] = "/c/disc.iso";

// Bytes that differ from chunk to chunk, so a chunk in the wrong place changes the digest.
const std::string& ImageBytes() {
    static const std::string bytes = [] {
        std::string data(25 * MiB, '\0');
        std::uint32_t state = 1;
        for (char& c : data) {
            state = state * 1664525u + 1013904223u;
            c = static_cast<char>(state >> 24);
        }
        return data;
    }();
    return bytes;
}

class DownloadImageTest : public ReleaseDownloadTest {
  protected:
    std::string image;

    void SetUp() override {
        ReleaseDownloadTest::SetUp();
        // A clock that stands still: the caption never shows an estimate, however slow the run.
        SetTickSource([] { return std::uint64_t{0}; });
        selection.filename = "disc.iso";
        selection.filetype = "iso";
    }

    void Publish(std::uint64_t size) {
        image = ImageBytes().substr(0, size);
        server.PutObject("c/disc.iso", image);
        selection.filesize = size;
        selection.hash = HashText(image, "SHA256", true);
    }
    std::filesystem::path LocalFile() const { return dir.path() / "dest" / "disc.iso"; }

    std::vector<std::string> ChunkRanges() const {
        std::vector<std::string> ranges;
        for (const RecordedRequest& request : server.Requests()) {
            if (request.path == kImagePath) {
                ranges.push_back(request.Header("Range").value_or("(none)"));
            }
        }
        return ranges;
    }

    std::string Failure() {
        try {
            DownloadImage(selection);
            return {};
        } catch (const DownloadException& error) {
            return error.what();
        }
    }
};

TEST_F(DownloadImageTest, ChunksOfTenMiBTheLastTakingTheRemainder) {
    struct Case {
        std::uint64_t size;
        std::vector<std::string> ranges;
    };
    const Case cases[] = {
        {25 * MiB, {"bytes=0-10485759", "bytes=10485760-26214399"}},
        {20 * MiB, {"bytes=0-10485759", "bytes=10485760-20971519"}},
        {3 * MiB, {"bytes=0-3145727"}},
        {0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        std::filesystem::remove_all(LocalFile().parent_path());
        server.ClearRequests();
        views.states.clear();
        Publish(c.size);
        EXPECT_EQ(Failure(), "");
        EXPECT_EQ(ChunkRanges(), c.ranges);
        EXPECT_TRUE(ReadFileBytes(LocalFile()) == image);
        ASSERT_FALSE(views.states.empty());
        EXPECT_EQ(views.states.back().range, c.ranges.size());
        EXPECT_EQ(views.states.back().position, c.ranges.size());
        EXPECT_EQ(views.states.back().caption, u"Fortschritt / Progress (download)");
        EXPECT_EQ(views.open, 0);
    }
}

TEST_F(DownloadImageTest, CompleteImageIsKeptAndAPartialOneStartsOver) {
    Publish(20 * MiB);
    std::filesystem::create_directories(LocalFile().parent_path());
    WriteFileBytes(LocalFile(), image);
    EXPECT_EQ(Failure(), "");
    EXPECT_EQ(server.RequestCount(), 0u);
    EXPECT_EQ(views.shown, 0);

    // The first chunk is already there, but without digests nothing of it can be trusted.
    WriteFileBytes(LocalFile(), image.substr(0, 10 * MiB));
    EXPECT_EQ(Failure(), "");
    EXPECT_EQ(ChunkRanges(),
              (std::vector<std::string>{"bytes=0-10485759", "bytes=10485760-20971519"}));
    EXPECT_TRUE(ReadFileBytes(LocalFile()) == image);
}

TEST_F(DownloadImageTest, FailuresEndTheDownload) {
    Publish(3 * MiB);
    struct Case {
        const char* name;
        std::function<void(const RecordedRequest&, Reply&)> hook;
        bool folderInTheWay;
        std::string failure;
    };
    const Case cases[] = {
        {"chunk refused", [](const RecordedRequest&, Reply& reply) { reply = Reply::Status(503); },
         false, "Error during downloading archive"},
        // Every answer cut off: the chunk stays short after fifteen requests for it.
        {"chunk cut off every time",
         [](const RecordedRequest&, Reply& reply) { reply.cutAfter = 1000; }, false,
         "Error during downloading archive"},
        {"folder in the way", nullptr, true, "Cannot open ISO file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(LocalFile().parent_path());
        if (c.folderInTheWay) std::filesystem::create_directories(LocalFile() / "inside");
        server.SetHook(c.hook);
        EXPECT_EQ(Failure(), c.failure);
        EXPECT_NE(ReadFileBytes(dir.path() / "CAD-Setup.log")
                      .find("): throwing DownloadException(" + c.failure + ")\r\n"),
                  std::string::npos);
        EXPECT_EQ(views.open, 0);
    }
}

TEST_F(DownloadImageTest, ShortChunkIsCompletedBeforeTheNextOne) {
    Publish(25 * MiB);
    const std::uint64_t cut = 3 * MiB + 5;
    bool cutOnce = false;
    server.SetHook([&](const RecordedRequest& request, Reply& reply) {
        if (request.Header("Range") == "bytes=10485760-26214399" && !cutOnce) {
            cutOnce = true;
            reply.cutAfter = cut;
        }
    });
    EXPECT_EQ(Failure(), "");
    EXPECT_TRUE(ReadFileBytes(LocalFile()) == image);
    EXPECT_EQ(ChunkRanges(),
              (std::vector<std::string>{"bytes=0-10485759", "bytes=10485760-26214399",
                                        "bytes=" + std::to_string(10 * MiB + cut) + "-26214399"}));
    ASSERT_FALSE(views.states.empty());
    EXPECT_EQ(views.states.back().position, 2u);
}

TEST_F(DownloadImageTest, ImageWithFittingDigestListResumesLikeAnArchive) {
    const std::uint64_t block = 4 * MiB;
    Publish(25 * MiB);
    std::string list = "[";
    for (std::uint64_t at = 0; at < image.size(); at += block) {
        list += (at == 0 ? "\"" : ",\"") + Md5Hex(std::string_view(image).substr(at, block)) + "\"";
    }
    list += "]";
    server.PutObject("c/disc.iso.blockhash.json", list);
    server.PutObject("c/short.json", "[\"" + Md5Hex("x") + "\"]");
    selection.blocksize = block;

    std::vector<std::string> blocks;
    for (std::uint64_t at = 0; at < image.size(); at += block) {
        blocks.push_back("bytes=" + std::to_string(at) + "-" +
                         std::to_string(std::min<std::uint64_t>(at + block, image.size()) - 1));
    }
    const std::vector<std::string> chunks{"bytes=0-10485759", "bytes=10485760-26214399"};
    struct Case {
        const char* name;
        std::string blockhash;
        std::uint64_t blockSize;
        std::vector<std::string> ranges;
    };
    const Case cases[] = {
        // A partial image of two and a half blocks: its two whole blocks are kept.
        {"fitting list", "disc.iso.blockhash.json", block,
         std::vector<std::string>(blocks.begin() + 2, blocks.end())},
        // Anything else is today's chunked download from the start.
        {"no list", "", block, chunks},
        {"list missing", "gone.json", block, chunks},
        {"list of another block count", "short.json", block, chunks},
        {"no block size", "disc.iso.blockhash.json", 0, chunks},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.ClearRequests();
        std::filesystem::create_directories(LocalFile().parent_path());
        WriteFileBytes(LocalFile(), image.substr(0, 2 * block + block / 2));
        selection.blockhash = c.blockhash;
        selection.blocksize = c.blockSize;
        EXPECT_EQ(Failure(), "");
        EXPECT_TRUE(ReadFileBytes(LocalFile()) == image);
        EXPECT_EQ(ChunkRanges(), c.ranges);
        EXPECT_EQ(views.open, 0);
    }
}
}  // namespace
