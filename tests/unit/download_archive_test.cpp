#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/endpoints.h"
#include "core/file_system.h"
#include "core/hash_context.h"
#include "core/setup_log.h"
#include "download/archive_download.h"
#include "download/block_fetcher.h"
#include "support/process_seams.h"
#include "support/progress_recorder.h"
#include "support/release_download_fixture.h"
#include "support/scripted_server.h"
#include "support/setup_log_reader.h"
#include "support/test_digests.h"
#include "support/test_environment.h"

namespace {
constexpr char kFileObject[] = "c/release.zip";
constexpr char kFilePath[] = "/c/release.zip";
constexpr char kListObject[] = "c/release.blocks";

class DownloadArchiveTest : public ReleaseDownloadTest {
  protected:
    std::string release;

    void SetUp() override {
        ReleaseDownloadTest::SetUp();
        selection.filename = "release.zip";
        selection.filetype = "arc";
    }

    // Publishes the release with its digest list (the real one unless given).
    void Publish(std::string data, std::uint64_t blockSize,
                 std::optional<BlockDigestList> digests = std::nullopt) {
        release = std::move(data);
        server.PutObject(kFileObject, release);
        server.PutObject(kListObject,
                         DigestListJson(digests ? *digests : DigestsOf(release, blockSize)));
        selection.blockhash = "release.blocks";
        selection.blocksize = blockSize;
        selection.filesize = release.size();
        selection.hash = Sha256Of(release);
    }

    std::filesystem::path LocalFile() const { return dir.path() / "dest" / "release.zip"; }
    std::u16string LocalFileText() const { return selection.destination + u"release.zip"; }
    void PutLocalFile(const std::string& content) const {
        std::filesystem::create_directories(LocalFile().parent_path());
        WriteFileBytes(LocalFile(), content);
    }

    // How often each range of the release file was asked for.
    std::map<std::string, int> RangeCounts() const {
        std::map<std::string, int> counts;
        for (const std::string& range : BlockRanges()) ++counts[range];
        return counts;
    }

    // The Range headers of the requests for the release file, in order.
    std::vector<std::string> BlockRanges() const {
        std::vector<std::string> ranges;
        for (const RecordedRequest& request : server.Requests()) {
            if (request.path == kFilePath) {
                ranges.push_back(request.Header("Range").value_or("(none)"));
            }
        }
        return ranges;
    }

    // The message of the DownloadException that the download ends with; empty when it succeeds.
    std::string Failure() {
        try {
            SetupSelection result = DownloadArchive(selection);
            EXPECT_EQ(result.hash, selection.hash);
            EXPECT_EQ(result.destination, selection.destination);
            // The verified file is handed on open, and it is the file at the release's name.
            EXPECT_TRUE(result.package);
            if (result.package) {
                EXPECT_EQ(Sha256FileHex(*result.package), selection.hash);
                const auto atName = ReadOnlyFile::Open(LocalFileText());
                EXPECT_TRUE(atName && atName->Identity() == result.package->Identity());
            }
            return {};
        } catch (const DownloadException& error) {
            return error.what();
        }
    }

    bool Logged(const std::string& message) const {
        return SetupLogText().find("): throwing DownloadException(" + message + ")\r\n") !=
               std::string::npos;
    }
};

TEST_F(DownloadArchiveTest, FetchesTheListThenEachBlockByRange) {
    Publish("0123456789", 4);
    EXPECT_EQ(Failure(), "");
    EXPECT_EQ(ReadFileBytes(LocalFile()), release);

    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].path, "/c/release.blocks");
    EXPECT_FALSE(requests[0].Header("Range"));
    // The last block is asked for up to the end of the file, never past it.
    EXPECT_EQ(BlockRanges(), (std::vector<std::string>{"bytes=0-3", "bytes=4-7", "bytes=8-9"}));
    EXPECT_TRUE(sleeps.empty());

    EXPECT_EQ(views.shown, 1);
    EXPECT_EQ(views.open, 0);
    ASSERT_FALSE(views.states.empty());
    EXPECT_EQ(views.states.back().caption, u"Fortschritt / Progress (download)");
    EXPECT_EQ(views.states.back().range, 3u);
    EXPECT_EQ(views.Positions(), (std::vector<std::uint32_t>{0, 1, 2, 3}));
}

TEST_F(DownloadArchiveTest, EmptyReleaseCreatesAnEmptyFileAndChecksItsDigest) {
    struct Case {
        const char* name;
        const char* list;  // nullptr: no digest list
        std::string hash;
        std::string failure;
        std::size_t requests;
    };
    const Case cases[] = {
        {"no list", nullptr, Sha256Of(""), "", 0},
        {"empty list", "[]", Sha256Of(""), "", 1},
        {"other digest", nullptr, Sha256Of("x"), "Hash mismatch for downloaded file!", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(LocalFile().parent_path());
        server.ClearRequests();
        selection.blocksize = 4;
        selection.filesize = 0;
        selection.hash = c.hash;
        selection.blockhash = c.list ? "empty.json" : "";
        if (c.list) {
            server.PutObject("c/empty.json", c.list);
        }
        EXPECT_EQ(Failure(), c.failure);
        EXPECT_TRUE(std::filesystem::exists(LocalFile()));
        EXPECT_EQ(std::filesystem::file_size(LocalFile()), 0u);
        EXPECT_EQ(server.RequestCount(), c.requests);
    }
}

TEST_F(DownloadArchiveTest, DigestCountMustMatchBeforeAnyBlockOrWindow) {
    Publish("0123456789", 4);
    BlockDigestList digests = DigestsOf(release, 4);
    BlockDigestList longer = digests;
    longer.push_back(digests[0]);
    BlockDigestList shorter(digests.begin(), digests.end() - 1);
    struct Case {
        const char* name;
        std::optional<BlockDigestList> list;  // nullopt: empty "blockhash"
    };
    for (const Case& c : {Case{"no list", std::nullopt}, Case{"one too many", longer},
                          Case{"one too few", shorter}}) {
        SCOPED_TRACE(c.name);
        server.ClearRequests();
        if (c.list) {
            server.PutObject(kListObject, DigestListJson(*c.list));
            selection.blockhash = "release.blocks";
        } else {
            selection.blockhash.clear();
        }
        EXPECT_EQ(Failure(), "Number of expected blockhashes does not match");
        EXPECT_TRUE(BlockRanges().empty());
        EXPECT_EQ(views.shown, 0);
    }
    EXPECT_TRUE(Logged("Number of expected blockhashes does not match"));
}

TEST_F(DownloadArchiveTest, BadBlockIsFetchedAgainAfterAWaitUntilItMatches) {
    Publish("0123456789", 4);
    int badAnswers = 0;
    server.SetHook([&](const RecordedRequest& request, Reply& reply) {
        if (request.Header("Range") == "bytes=4-7" && badAnswers < 24) {
            ++badAnswers;
            reply.body = "XXXX";
        }
    });
    EXPECT_EQ(Failure(), "");
    EXPECT_EQ(ReadFileBytes(LocalFile()), release);  // nothing of the bad answers
    EXPECT_EQ(sleeps, std::vector<std::uint64_t>(24, 2000));
    EXPECT_EQ(BlockRanges().size(), 1u + 25u + 1u);
    ASSERT_FALSE(views.states.empty());
    EXPECT_EQ(views.states.back().position, 3u);
}

TEST_F(DownloadArchiveTest, TwentyFifthMismatchEndsWithTheReport) {
    Publish("0123", 4);
    const std::string head =
        "Hash mismatch for downloaded block!\nBlock: 0\nExpected:  " + Md5Hex("0123") +
        "\nDownloaded: ";
    struct Case {
        const char* name;
        std::string received;
        std::string report;
    };
    const Case cases[] = {
        {"four odd bytes", std::string("\0AB\xFF", 4),
         head + Md5Hex(std::string("\0AB\xFF", 4)) +
             "\nBlock size: 4 downloaded size: 4\n"
             "Zeroes in block: 1 ( 25.000000 ) \nAscii chars in block: 2 ( 50.000000 ) \n"},
        {"nothing received", "", head + Md5Hex("") + "\nBlock size: 4 downloaded size: 0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sleeps.clear();
        server.ClearRequests();
        server.SetHook([&](const RecordedRequest& request, Reply& reply) {
            if (request.path == kFilePath) reply.body = c.received;
        });
        EXPECT_EQ(Failure(), c.report);
        EXPECT_TRUE(Logged(c.report));
        EXPECT_EQ(BlockRanges().size(), 25u);
        EXPECT_EQ(sleeps.size(), 24u);
        EXPECT_EQ(views.open, 0);
        EXPECT_EQ(ReadFileBytes(LocalFile()), "");
    }
}

TEST_F(DownloadArchiveTest, UpperCaseDigestsNeverMatch) {
    BlockDigestList upper = DigestsOf("0123", 4);
    for (char& c : upper[0]) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Publish("0123", 4, upper);
    EXPECT_EQ(Failure().rfind("Hash mismatch for downloaded block!\nBlock: 0\n", 0), 0u);
    EXPECT_EQ(BlockRanges().size(), 25u);
}

TEST_F(DownloadArchiveTest, BlockCutOffWhileReadingIsFetchedAgain) {
    Publish(std::string(3000, 'a') + std::string(3000, 'b'), 4000);
    bool cut = false;
    server.SetHook([&](const RecordedRequest& request, Reply& reply) {
        if (request.path == kFilePath && !cut) {
            cut = true;
            reply.cutAfter = 1000;
        }
    });
    EXPECT_EQ(Failure(), "");
    EXPECT_EQ(ReadFileBytes(LocalFile()), release);
    EXPECT_EQ(sleeps, std::vector<std::uint64_t>{2000});
    // The second block may already be on its way when the first one is found short: it is not
    // fetched again.
    EXPECT_EQ(RangeCounts(),
              (std::map<std::string, int>{{"bytes=0-3999", 2}, {"bytes=4000-5999", 1}}));
}

TEST_F(DownloadArchiveTest, BadBlockFollowedByAGoodOneTransfersNothingTwice) {
    std::string data;
    for (int i = 0; i < 6 * 4096; ++i) data.push_back(static_cast<char>(i * 31 % 253));
    Publish(data, 4096);
    bool spoiled = false;
    server.SetHook([&](const RecordedRequest& request, Reply& reply) {
        if (request.Header("Range") == "bytes=8192-12287" && !spoiled) {
            spoiled = true;
            reply.body[0] ^= 1;
        }
    });
    EXPECT_EQ(Failure(), "");
    EXPECT_TRUE(ReadFileBytes(LocalFile()) == release);
    EXPECT_EQ(sleeps, std::vector<std::uint64_t>{2000});
    std::map<std::string, int> expected;
    for (int block = 0; block < 6; ++block) {
        expected["bytes=" + std::to_string(block * 4096) + "-" +
                 std::to_string(block * 4096 + 4095)] = block == 2 ? 2 : 1;
    }
    EXPECT_EQ(RangeCounts(), expected);
}

TEST_F(DownloadArchiveTest, FileDigestIsComputedAcrossTheBlocksOfAnyGeometry) {
    // The whole-file check uses the digest computed while the blocks were written: a geometry
    // whose blocks were hashed in the wrong order, twice or not at all fails it.
    std::string data;
    for (int i = 0; i < 10000; ++i) data.push_back(static_cast<char>(i * 7 % 251));
    struct Case {
        const char* name;
        std::uint64_t blockSize;
        std::string firstRange;
    };
    const Case cases[] = {
        {"dividing the file", 1000, "bytes=0-999"},
        {"not dividing the file", 3001, "bytes=0-3000"},
        {"larger than the file", 65536, "bytes=0-9999"},
        // Block 0 of one byte is still a range request, not a request for the whole object.
        {"one byte", 1, "bytes=0-0"},
        // 2^64 - 1 ("blocksize": -1, or 1e300): one block, its range ends with the file.
        {"largest", std::numeric_limits<std::uint64_t>::max(), "bytes=0-9999"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(LocalFile().parent_path());
        server.ClearRequests();
        Publish(c.blockSize == 1 ? data.substr(0, 50) : data, c.blockSize);
        EXPECT_EQ(Failure(), "");
        EXPECT_TRUE(ReadFileBytes(LocalFile()) == release);
        ASSERT_FALSE(BlockRanges().empty());
        EXPECT_EQ(BlockRanges().front(), c.firstRange);
    }
}

TEST_F(DownloadArchiveTest, CompleteLocalFileFetchesOnlyTheDigestList) {
    Publish("0123456789", 4);
    PutLocalFile(release);
    EXPECT_EQ(Failure(), "");
    ASSERT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(server.Requests()[0].path, "/c/release.blocks");
    EXPECT_EQ(views.shown, 0);

    // The list is fetched first, and its failure ends the download even so.
    struct Case {
        const char* name;
        std::optional<std::string> list;  // nullopt: missing (404)
    };
    for (const Case& c : {Case{"missing", std::nullopt}, Case{"not JSON", "[\"a\""},
                          Case{"not an array", "{\"a\":1}"}}) {
        SCOPED_TRACE(c.name);
        server.ClearRequests();
        if (c.list) {
            server.PutObject(kListObject, *c.list);
        } else {
            server.RemoveObject(kListObject);
        }
        EXPECT_EQ(Failure(), "Cannot download blockhash file");
        EXPECT_TRUE(BlockRanges().empty());
        EXPECT_EQ(ReadFileBytes(LocalFile()), release);
    }
    EXPECT_TRUE(Logged("Cannot download blockhash file"));
}

TEST_F(DownloadArchiveTest, PartialFileContinuesFromItsLastGoodBlockOrStartsOver) {
    Publish("0123456789abcd", 4);  // blocks 0-3, 4-7, 8-11, 12-13
    std::string badSecond = release.substr(0, 12);
    badSecond[5] = 'X';
    std::string wrongDigest = release;
    wrongDigest[1] = 'X';
    const std::vector<std::string> all{"bytes=0-3", "bytes=4-7", "bytes=8-11", "bytes=12-13"};
    struct Case {
        const char* name;
        std::string local;
        std::vector<std::string> ranges;
    };
    const Case cases[] = {
        // The kept part ends inside a block: the file's digest starts from its whole blocks.
        {"two and a half good blocks", release.substr(0, 10), {"bytes=8-11", "bytes=12-13"}},
        {"bad second block of three", badSecond, all},
        {"shorter than one block", release.substr(0, 3), all},
        {"right size, wrong digest", wrongDigest, all},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.ClearRequests();
        PutLocalFile(c.local);
        EXPECT_EQ(Failure(), "");
        EXPECT_EQ(ReadFileBytes(LocalFile()), release);
        EXPECT_EQ(BlockRanges(), c.ranges);
    }
}

TEST_F(DownloadArchiveTest, FailuresKeepTheVerifiedBlocks) {
    Publish("0123456789", 4);
    server.SetHook([&](const RecordedRequest& request, Reply& reply) {
        if (request.Header("Range") == "bytes=4-7") reply = Reply::Status(500);
    });
    EXPECT_EQ(Failure(), "Error during downloading archive");
    EXPECT_TRUE(Logged("Error during downloading archive"));
    EXPECT_EQ(ReadFileBytes(LocalFile()), "0123");
    EXPECT_EQ(views.open, 0);

    // The next launch fetches only the rest, and a wrong whole-file digest stays on disk.
    server.SetHook(nullptr);
    server.ClearRequests();
    selection.hash = Sha256Of("something else");
    EXPECT_EQ(Failure(), "Hash mismatch for downloaded file!");
    EXPECT_EQ(BlockRanges(), (std::vector<std::string>{"bytes=4-7", "bytes=8-9"}));
    EXPECT_EQ(ReadFileBytes(LocalFile()), release);
}

TEST_F(DownloadArchiveTest, FailedWriteKeepsEveryBlockWrittenBefore) {
    const std::uint64_t block = 65536;
    std::string data;
    for (std::uint64_t i = 0; i < 3 * block; ++i) data.push_back(static_cast<char>(i * 7 % 251));
    Publish(data, block);
    {
        // The file may grow to two and a half blocks: the third block's write fails (a full disk).
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit limited = old;
        limited.rlim_cur = 5 * block / 2;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
        std::string failure = Failure();
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        EXPECT_EQ(failure, "Error during file write!");
    }
    EXPECT_EQ(ReadFileBytes(LocalFile()), data.substr(0, 5 * block / 2));
    EXPECT_EQ(views.open, 0);

    server.ClearRequests();
    EXPECT_EQ(Failure(), "");
    EXPECT_EQ(ReadFileBytes(LocalFile()), data);
    EXPECT_EQ(BlockRanges(), (std::vector<std::string>{"bytes=131072-196607"}));
}

// A link at the release file's name points outside the destination: the download ends with the
// link named before any block is fetched, and the link's target is neither read nor changed (nor
// created when it does not exist yet).
TEST_F(DownloadArchiveTest, LinkAtTheReleaseNameIsRefusedAndItsTargetKept) {
    Publish("0123456789", 4);
    const std::filesystem::path outside = dir.path() / "outside.txt";
    const std::optional<std::string> cases[] = {
        std::string("precious"),    // would be cut to its whole blocks and overwritten
        std::string("0123456789"),  // the release itself: would count as complete
        std::string("0123ab"),      // a partial release: would be continued
        std::nullopt,               // no target yet: would be created outside
    };
    std::filesystem::create_directories(LocalFile().parent_path());
    std::filesystem::create_symlink(outside, LocalFile());
    for (const std::optional<std::string>& target : cases) {
        SCOPED_TRACE(target.value_or("(none)"));
        server.ClearRequests();
        std::filesystem::remove(outside);
        if (target) WriteFileBytes(outside, *target);

        const std::string failure = Failure();

        EXPECT_EQ(failure, "\"" + LocalFile().string() +
                               "\" is a link: the launcher follows no link below the destination");
        EXPECT_TRUE(Logged(failure));
        EXPECT_TRUE(BlockRanges().empty());
        EXPECT_TRUE(std::filesystem::is_symlink(LocalFile()));
        if (target) {
            EXPECT_EQ(ReadFileBytes(outside), *target);
        } else {
            EXPECT_FALSE(std::filesystem::exists(outside));
        }
    }
}

// Another file takes the release file's name while the blocks arrive: the verified bytes went to
// the file the download holds, so the one at the name is not handed on as verified.
TEST_F(DownloadArchiveTest, FileSwappedDuringTheDownloadIsNotHandedOn) {
    Publish("0123456789", 4);
    const std::filesystem::path planted = dir.path() / "planted.zip";
    WriteFileBytes(planted, "another package");
    server.SetHook([&](const RecordedRequest& request, Reply&) {
        if (request.path == kFilePath && request.Header("Range") == "bytes=8-9") {
            std::filesystem::rename(planted, LocalFile());
        }
    });

    EXPECT_EQ(Failure(), "Hash mismatch for downloaded file!");
    EXPECT_EQ(ReadFileBytes(LocalFile()), "another package");
}

TEST_F(DownloadArchiveTest, UnusableReleaseOrTargetIsRefused) {
    Publish("0123456789", 4);
    struct Case {
        const char* name;
        std::uint64_t blockSize;
        std::string fileName;
        bool folderInTheWay;
        std::string failure;
        std::size_t requests;
        std::uint64_t fileSize = 10;
    };
    const Case cases[] = {
        {"block size 0", 0, "release.zip", false,
         "Invalid release: blocksize 0 for a file of 10 bytes", 0},
        // Offsets beyond 2^63 - 1 cannot be written in a range request.
        {"file beyond the ranges", 1u << 20, "release.zip", false,
         "Invalid release: filesize 9223372036854775808 is beyond what a range request can reach",
         0, 1ull << 63},
        {"file name leaving the folder", 4, "../release.zip", false,
         "Invalid release file name: ../release.zip", 0},
        // The list is fetched, then the local file cannot be opened.
        {"folder in the way", 4, "release.zip", true, "Cannot open arc file", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.ClearRequests();
        selection.blocksize = c.blockSize;
        selection.filename = c.fileName;
        selection.filesize = c.fileSize;
        // A folder that is not empty cannot be deleted to make room for the file.
        if (c.folderInTheWay) std::filesystem::create_directories(LocalFile() / "inside");
        EXPECT_EQ(Failure(), c.failure);
        EXPECT_TRUE(Logged(c.failure));
        EXPECT_EQ(server.RequestCount(), c.requests);
        EXPECT_EQ(views.open, 0);
    }
}
}  // namespace
