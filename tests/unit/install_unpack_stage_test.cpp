// Unpacking an "arc" package while it downloads: members are unpacked into the staging folder as
// their blocks are verified, and only a package that passed every check is moved into place. The
// download and the install run in-process against the scripted server, as a launch runs them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/endpoints.h"
#include "core/file_system.h"
#include "download/archive_download.h"
#include "download/block_fetcher.h"
#include "install/archive_extraction.h"
#include "install/unpack_stage.h"
#include "support/package_builder.h"
#include "support/process_seams.h"
#include "support/progress_recorder.h"
#include "support/release_download_fixture.h"
#include "support/scripted_server.h"
#include "support/setup_log_reader.h"
#include "support/test_digests.h"
#include "support/test_environment.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kBlock = 16384;
constexpr char kPackagePath[] = "/c/p.zip";
constexpr char kFallback[] = "unpacking p.zip after its download: ";

// Text that deflates well but is not all one byte.
std::string Prose(std::size_t length) {
    std::string text;
    for (std::size_t i = 0; text.size() < length; ++i) {
        text += "line " + std::to_string(i) + " of the setup's data\n";
    }
    text.resize(length);
    return text;
}

// Three content members of 40000, 90000 and 150000 bytes (each crosses several 16 KiB blocks),
// the last needed in two places.
struct Contents {
    std::string first = NoiseBytes(40000);
    std::string second = Prose(90000);
    std::string third = NoiseBytes(150000) + Prose(1000);
};

class UnpackStageTest : public ReleaseDownloadTest {
  protected:
    std::string package;
    Contents contents;

    void SetUp() override {
        ReleaseDownloadTest::SetUp();
        SetSetupStarter([](const std::u16string&) {});
        selection.product = std::u16string(1, u'p');
        selection.version = "1.0";
        selection.filename = "p.zip";
        selection.filetype = "arc";
        selection.download_only = true;
    }

    // The usual package: the three contents under their digests and the descriptors (the third
    // content also at `further`, when given).
    PackageBuilder Builder(const std::string& further = std::string()) const {
        PackageBuilder builder;
        const std::string first = builder.AddContent(contents.first);
        const std::string second = builder.AddContent(contents.second);
        const std::string third = builder.AddContent(contents.third);
        builder.ArcInfo(R"([{"hash":")" + first + R"(","dst":["a/first.bin"]},)" + R"({"hash":")" +
                        second + R"(","dst":["second.txt"]},)" + R"({"hash":")" + third +
                        R"(","dst":["b/third.bin","c/copy.bin")" +
                        (further.empty() ? "" : ",\"" + further + "\"") + "]}]");
        builder.ArcConfig(R"({"startCommands":[]})");
        return builder;
    }

    void Publish(const PackageBuilder& builder) { Publish(builder, server); }
    void Publish(const PackageBuilder& builder, ScriptedServer& to) {
        builder.Write(dir.path() / "package.zip");
        package = ReadFileBytes(dir.path() / "package.zip");
        to.PutObject("c/p.zip", package);
        to.PutObject("c/p.blocks", DigestListJson(DigestsOf(package, kBlock)));
        selection.blockhash = "p.blocks";
        selection.blocksize = kBlock;
        selection.filesize = package.size();
        selection.hash = Sha256Of(package);
        EXPECT_GT(package.size(), 2 * 65536u) << "larger than the end the stage fetches first";
    }

    std::uint64_t LastBlock() const { return (package.size() - 1) / kBlock; }
    // The Range header with which the download asks for the block.
    std::string BlockRange(std::uint64_t block) const {
        return "bytes=" + std::to_string(block * kBlock) + "-" +
               std::to_string(std::min<std::uint64_t>((block + 1) * kBlock, package.size()) - 1);
    }

    // Downloads and installs with a stage, as a launch does; the message the launch ends with,
    // empty on success. The stage is gone when this returns.
    std::string Launch() {
        UnpackStage stage(selection);
        try {
            SetupSelection downloaded = DownloadArchive(selection, &stage);
            InstallArchive(downloaded, &stage);
        } catch (const std::exception& e) {
            return e.what();
        }
        return {};
    }

    fs::path Destination() const { return dir.path() / "dest"; }
    fs::path Extraction() const { return Destination() / "p.1.0"; }
    fs::path Staging() const { return Destination() / ".p.1.0.unpacking"; }

    void ExpectInstalled() const {
        EXPECT_TRUE(ReadFileBytes(Extraction() / "a" / "first.bin") == contents.first);
        EXPECT_TRUE(ReadFileBytes(Extraction() / "second.txt") == contents.second);
        EXPECT_TRUE(ReadFileBytes(Extraction() / "b" / "third.bin") == contents.third);
        EXPECT_TRUE(ReadFileBytes(Extraction() / "c" / "copy.bin") == contents.third);
        EXPECT_FALSE(fs::exists(Staging()));
        EXPECT_FALSE(fs::exists(Destination() / "p.zip")) << "deleted after the unpack";
    }

    // Requests for the package that are not whole blocks: the stage's look at its end.
    int EndRequests() const {
        int count = 0;
        for (const RecordedRequest& request : server.Requests()) {
            const std::string range = request.Header("Range").value_or("");
            if (request.path == kPackagePath && std::stoull(range.substr(6)) % kBlock != 0) {
                ++count;
            }
        }
        return count;
    }
};

// Waits (bounded) until the file holds exactly `size` bytes; the hook that calls it holds the
// package's last block back meanwhile.
bool AppearsWithSize(const fs::path& path, std::uint64_t size) {
    for (int i = 0; i < 3000; ++i) {
        std::error_code error;
        if (fs::file_size(path, error) == size && !error) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

enum class PackageShape { Deflated, Stored, Zip64End };

class UnpackStageShapeTest : public UnpackStageTest,
                             public ::testing::WithParamInterface<PackageShape> {};

// Stored and deflated members that cross block borders are unpacked while the download still
// waits for its last block, then moved into place; also when the package ends as one over 4 GiB
// does, with ZIP64 end records.
TEST_P(UnpackStageShapeTest, MembersAreUnpackedBeforeTheLastBlockArrives) {
    PackageBuilder builder = Builder();
    if (GetParam() == PackageShape::Stored) {
        builder.Stored();
    } else if (GetParam() == PackageShape::Zip64End) {
        builder.Zip64End();
    }
    Publish(builder);
    const fs::path firstStaged = Staging() / "members" / Sha256Of(contents.first);
    const std::string last = BlockRange(LastBlock());
    bool stagedBeforeLast = false;
    server.SetHook([&](const RecordedRequest& request, Reply&) {
        if (request.Header("Range") == last) {
            stagedBeforeLast = AppearsWithSize(firstStaged, contents.first.size());
        }
    });
    EXPECT_EQ(Launch(), "");
    EXPECT_TRUE(stagedBeforeLast);
    ExpectInstalled();
    EXPECT_EQ(EndRequests(), 1);
    EXPECT_EQ(SetupLogText().find(kFallback), std::string::npos) << SetupLogText();
}

INSTANTIATE_TEST_SUITE_P(Shapes, UnpackStageShapeTest,
                         ::testing::Values(PackageShape::Deflated, PackageShape::Stored,
                                           PackageShape::Zip64End),
                         [](const auto& info) {
                             switch (info.param) {
                                 case PackageShape::Stored:
                                     return "Stored";
                                 case PackageShape::Zip64End:
                                     return "Zip64End";
                                 default:
                                     return "Deflated";
                             }
                         });

// A block that arrives damaged under a member being unpacked never reaches the member: the
// block is fetched again and the launch ends right, with the staged members used.
TEST_F(UnpackStageTest, ABlockThatMismatchesUnderAMemberIsFetchedAgain) {
    Publish(Builder().Stored());
    const std::string damaged = BlockRange(4);  // inside the second member
    bool damagedOnce = false;
    server.SetHook([&](const RecordedRequest& request, Reply& reply) {
        if (request.Header("Range") == damaged && !damagedOnce && reply.body.size() > 100) {
            reply.body[100] = static_cast<char>(reply.body[100] ^ 0x55);
            damagedOnce = true;
        }
    });
    EXPECT_EQ(Launch(), "");
    EXPECT_TRUE(damagedOnce);
    EXPECT_EQ(sleeps, (std::vector<std::uint64_t>{2000}));
    ExpectInstalled();
    EXPECT_EQ(SetupLogText().find(kFallback), std::string::npos) << SetupLogText();
}

// The package's end is fetched before the download opens its connections, not beside them: a
// third connection would count against a server or proxy that allows a client only two, which
// would refuse it or one of the download's. The end's answer is held back a while; no block may be
// asked for meanwhile.
TEST_F(UnpackStageTest, TheEndIsFetchedBeforeTheBlocksNotBesideThem) {
    SetDownloadConnectionLimits({2, 8});
    Publish(Builder());
    std::atomic<bool> endAnswered{false};
    std::atomic<bool> blockBeforeEnd{false};
    server.SetHook([&](const RecordedRequest& request, Reply&) {
        if (request.path != kPackagePath) {
            return;
        }
        const std::string range = request.Header("Range").value_or("");
        if (std::stoull(range.substr(6)) % kBlock != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            endAnswered = true;
        } else if (!endAnswered) {
            blockBeforeEnd = true;
        }
    });
    EXPECT_EQ(Launch(), "");
    EXPECT_FALSE(blockBeforeEnd);
    ExpectInstalled();
    EXPECT_EQ(SetupLogText().find(kFallback), std::string::npos) << SetupLogText();
}

// A member whose bytes do not match its name fails the launch as without the stage, after it was
// unpacked in the staging folder: nothing is moved into place, the staging folder is gone, the
// verified package stays.
TEST_F(UnpackStageTest, AMemberThatFailsItsDigestCommitsNothing) {
    PackageBuilder builder;
    const std::string bad = Sha256Of("what the member claims to be");
    builder.Add(bad, contents.first);
    const std::string good = builder.AddContent(contents.second);
    builder.AddContent(contents.third);
    builder.ArcInfo(R"([{"hash":")" + good + R"(","dst":["good.txt"]},)" + R"({"hash":")" + bad +
                    R"(","dst":["bad.bin"]}])");
    Publish(builder);
    // Members are unpacked in package order: once the good one after it is staged, the bad one
    // was unpacked in the staging folder and found wrong.
    const fs::path goodStaged = Staging() / "members" / good;
    const std::string last = BlockRange(LastBlock());
    bool unpackedInStaging = false;
    server.SetHook([&](const RecordedRequest& request, Reply&) {
        if (request.Header("Range") == last) {
            unpackedInStaging = AppearsWithSize(goodStaged, contents.second.size());
        }
    });
    EXPECT_EQ(
        Launch(),
        "The package p.zip could not be unpacked: \"bad.bin\" does not match its digest " + bad);
    EXPECT_TRUE(unpackedInStaging);
    EXPECT_FALSE(fs::exists(Extraction())) << "the good member was not moved into place either";
    EXPECT_FALSE(fs::exists(Staging()));
    EXPECT_TRUE(ReadFileBytes(Destination() / "p.zip") == package) << "the verified package stays";
}

// A file that cannot be written fails the launch with the message it gives without the stage: it
// names the file in the extraction folder, not in the staging folder.
TEST_F(UnpackStageTest, AFileThatCannotBeWrittenIsNamedInTheExtractionFolder) {
    PackageBuilder builder;
    const std::string first = builder.AddContent(contents.first);
    const std::string second = builder.AddContent(contents.third);
    // "x" is made as a folder for "x/y" before any file is written: the file "x" cannot be.
    builder.ArcInfo(R"([{"hash":")" + first + R"(","dst":["x"]},{"hash":")" + second +
                    R"(","dst":["x/y"]}])");
    Publish(builder);
    EXPECT_EQ(Launch(), "The package p.zip could not be unpacked: \"" +
                            (Extraction() / "x").string() + "\" cannot be written");
    EXPECT_FALSE(fs::exists(Extraction()));
    EXPECT_FALSE(fs::exists(Staging()));
}

// The central directory fetched first must be the one in the verified package: when it is not,
// nothing of the staging folder is used and the package is unpacked after the download.
TEST_F(UnpackStageTest, ACentralDirectoryThatDisagreesWithTheVerifiedPackageIsNotUsed) {
    Publish(Builder());
    // The first directory entry's modification time: libzip reads it, nothing checks it.
    const std::size_t end = package.size() - 22;
    std::uint64_t directory = 0;
    for (int i = 3; i >= 0; --i) {
        directory = (directory << 8) | static_cast<unsigned char>(package[end + 16 + i]);
    }
    server.SetHook([&](const RecordedRequest& request, Reply& reply) {
        const std::string range = request.Header("Range").value_or("");
        if (request.path != kPackagePath || range.empty()) return;
        const std::uint64_t first = std::stoull(range.substr(6));
        if (first % kBlock != 0 && first <= directory + 12 && reply.status == 206) {
            reply.body[directory + 12 - first] ^= 0x01;
        }
    });
    EXPECT_EQ(Launch(), "");
    ExpectInstalled();
    EXPECT_TRUE(HasRecordFromASite(SetupLogText(),
                                   std::string(kFallback) +
                                       "the central directory fetched first differs from the "
                                       "verified package"));
}

// Packages the stage cannot follow are unpacked after the download, as without it, and the log
// says why.
TEST_F(UnpackStageTest, PackagesTheStageCannotFollowAreUnpackedAfterTheDownload) {
    // A destination that just fits the path limit below the extraction folder, but not below the
    // staging folder's deeper tree.
    const std::size_t room = 4095 - (Extraction().string() + "/").size();
    std::string deep;
    while (deep.size() + 101 < room) {
        deep += std::string(100, 'd') + "/";
    }
    deep += std::string(room - deep.size(), 'f');
    struct Case {
        const char* name;
        bool otherMember;
        std::uint64_t tailBound;
        std::string further;
        std::string why;
    };
    const std::vector<Case> cases = {
        {"oversized central directory", false, 100, "",
         "its central directory and end records (* bytes) are larger than the bound of 100 bytes"},
        {"a member not named by its digest", true, 0, "",
         "it holds a member whose name is no digest"},
        {"a destination too deep for the staging folder", false, 0, deep,
         "a destination is too long for the staging folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetTailBound(c.tailBound);
        PackageBuilder builder = Builder(c.further);
        if (c.otherMember) {
            builder.Add("readme.txt", "not listed anywhere");
        }
        Publish(builder);
        fs::remove(dir.path() / "CAD-Setup.log");
        EXPECT_EQ(Launch(), "");
        ExpectInstalled();
        const std::string log = SetupLogText();
        const std::size_t at = log.find(kFallback);
        ASSERT_NE(at, std::string::npos) << log;
        std::string why = log.substr(at + std::string(kFallback).size(),
                                     log.find('\n', at) - at - std::string(kFallback).size());
        if (why.ends_with('\r')) why.pop_back();
        const std::size_t star = c.why.find('*');
        if (star == std::string::npos) {
            EXPECT_EQ(why, c.why);
        } else {
            EXPECT_TRUE(why.starts_with(c.why.substr(0, star))) << why;
            EXPECT_TRUE(why.ends_with(c.why.substr(star + 1))) << why;
        }
        fs::remove_all(Extraction());
        server.ClearRequests();
    }
}

// A download that fails leaves what it leaves today (the verified prefix of the package) and no
// staging folder once the stage is gone.
TEST_F(UnpackStageTest, AFailedDownloadLeavesTheVerifiedPrefixAndNoStaging) {
    Publish(Builder().Stored());
    const std::string missing = BlockRange(LastBlock());
    const fs::path firstStaged = Staging() / "members" / Sha256Of(contents.first);
    server.SetHook([&](const RecordedRequest& request, Reply& reply) {
        if (request.Header("Range") == missing) {
            AppearsWithSize(firstStaged, contents.first.size());
            reply = Reply::Status(404);
        }
    });
    EXPECT_EQ(Launch(), "Error during downloading archive");
    EXPECT_FALSE(fs::exists(Staging()));
    EXPECT_FALSE(fs::exists(Extraction()));
    EXPECT_TRUE(ReadFileBytes(Destination() / "p.zip") == package.substr(0, LastBlock() * kBlock))
        << "the verified prefix stays";
}

}  // namespace
