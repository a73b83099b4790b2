#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/file_system.h"
#include "core/hash_context.h"
#include "core/text_conversion.h"
#include "download/download_target.h"
#include "download/download_worker.h"
#include "support/progress_recorder.h"
#include "support/test_digests.h"
#include "support/test_environment.h"

namespace {
// A release of 14 bytes in blocks of 4: three whole blocks and one of 2 bytes.
const std::string kRelease = "0123456789abcd";
constexpr std::uint64_t kBlockSize = 4;

class DownloadTargetTest : public ::testing::Test {
  protected:
    TempDir dir;
    SetupSelection selection;
    std::filesystem::path file;

    void SetUp() override {
        selection.filename = "release.zip";
        selection.blocksize = kBlockSize;
        selection.filesize = kRelease.size();
        selection.hash = Sha256Of(kRelease);
        selection.destination = dir.folder() + u"sub/";
        file = dir.path() / "sub" / "release.zip";
    }
};

TEST_F(DownloadTargetTest, ResumeKeepsAllWholeBlocksOrNothing) {
    std::string badSecond = kRelease.substr(0, 12);
    badSecond[5] = 'X';
    std::string badLast = kRelease;
    badLast[13] = 'X';
    struct Case {
        const char* name;
        std::optional<std::string> local;  // nullopt: no file
        std::uint64_t start;               // first block still to fetch
        std::vector<std::uint32_t> positions;
        std::string kept;  // the file's content before the stream writes
    };
    const Case cases[] = {
        {"no file", std::nullopt, 0, {0}, ""},
        {"two and a half good blocks", kRelease.substr(0, 10), 2, {0, 1, 2}, kRelease.substr(0, 8)},
        {"bad second block of three", badSecond, 0, {0, 1, 2, 0}, ""},
        {"shorter than one block", kRelease.substr(0, 3), 0, {0}, ""},
        // Right size with a wrong digest: the partial last block is cut, the whole ones are kept.
        {"whole file with a bad last block", badLast, 3, {0, 1, 2, 3}, kRelease.substr(0, 12)},
        // Longer than the release: more whole blocks than digests, never read past the list.
        {"longer than the release", kRelease + "efghijkl", 0, {0}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir.path() / "sub");
        if (c.local) {
            std::filesystem::create_directories(file.parent_path());
            WriteFileBytes(file, *c.local);
        }
        ProgressRecorder views;
        ExtractionProgress progress;
        progress.Create();
        progress.SetProgressRange(4);
        const BlockDigestList digests = DigestsOf(kRelease, kBlockSize);
        DownloadStream stream;
        DownloadWorker worker(stream, true);
        std::uint64_t start = 99;
        ASSERT_TRUE(OpenDownloadTarget(selection, selection.destination, progress, digests, stream,
                                       worker, start));
        EXPECT_EQ(start, c.start);
        EXPECT_EQ(views.Positions(), c.positions);
        EXPECT_EQ(progress.StepsTaken(), c.positions.back());
        // The next block goes to the end of what was kept, and the file's digest covers both:
        // the kept part was hashed while it was checked.
        worker.Begin(start);
        worker.Submit(start, "++", nullptr);
        EXPECT_EQ(worker.Finish(), Sha256Of(c.kept + "++"));
        ASSERT_TRUE(stream.Close());
        EXPECT_EQ(ReadFileBytes(file), c.kept + "++");
    }
}

TEST_F(DownloadTargetTest, CompleteOnlyWithExactSizeAndDigest) {
    struct Case {
        const char* name;
        std::optional<std::string> local;
        bool complete;
    };
    std::string wrongDigest = kRelease;
    wrongDigest[0] = 'X';
    const Case cases[] = {
        {"no file", std::nullopt, false},
        {"complete", kRelease, true},
        {"right size, wrong digest", wrongDigest, false},
        {"too short", kRelease.substr(0, 13), false},
        {"too long", kRelease + "e", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir.path() / "sub");
        if (c.local) {
            std::filesystem::create_directories(file.parent_path());
            WriteFileBytes(file, *c.local);
        }
        EXPECT_EQ(IsDownloadComplete(selection, selection.destination), c.complete);
    }
}

TEST_F(DownloadTargetTest, CutEndsAnExistingFileAtTheLength) {
    EXPECT_FALSE(CutFileToLength(ToUtf16(file.string()), 0));  // no file
    std::filesystem::create_directories(file.parent_path());
    WriteFileBytes(file, kRelease);
    EXPECT_TRUE(CutFileToLength(ToUtf16(file.string()), 5));
    EXPECT_EQ(ReadFileBytes(file), "01234");
}

TEST_F(DownloadTargetTest, FailedWriteIsReportedAndSticks) {
    DownloadStream stream;
    ASSERT_TRUE(stream.Open(u"/dev/full", StreamMode::Continue));
    EXPECT_FALSE(stream.Write("block"));
    EXPECT_TRUE(stream.Failed());
    EXPECT_FALSE(stream.Write(""));
}

TEST(DownloadFileNameTest, OnlyPlainNamesStayInTheDestination) {
    for (const char* name : {"release.zip", "a b.iso", "..zip", "x..y"}) {
        EXPECT_TRUE(IsPlainFileName(name)) << name;
    }
    for (const std::string& name :
         std::vector<std::string>{"", ".", "..", "../x.zip", "sub/x.zip", "sub\\x.zip", "C:x.zip",
                                  std::string("x\0y", 3)}) {
        EXPECT_FALSE(IsPlainFileName(name)) << name;
    }
}
}  // namespace

namespace {
TEST(DownloadWorkerTest, WritesGoodBlocksInBlockOrderAndHashesWhatItWrote) {
    TempDir dir;
    const std::u16string path = ToUtf16((dir.path() / "file").string());
    const BlockDigestList digests{Md5Hex("aa"), Md5Hex("bb"), Md5Hex("cc")};
    DownloadStream stream;
    ASSERT_TRUE(stream.Open(path, StreamMode::New));
    DownloadWorker worker(stream, true);
    worker.Begin(0);
    // Block 1 arrives while block 0 is still to be fetched again: it waits for it.
    worker.Submit(0, "xx", &digests[0]);
    worker.Submit(1, "bb", &digests[1]);
    std::vector<BlockVerdict> verdicts = worker.Verdicts(1);
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_EQ(verdicts[0].block, 0u);
    EXPECT_FALSE(verdicts[0].match);
    EXPECT_EQ(verdicts[0].received, "xx");
    worker.Submit(0, "aa", &digests[0]);
    verdicts = worker.Verdicts(0);
    ASSERT_EQ(verdicts.size(), 2u);
    EXPECT_TRUE(verdicts[0].block == 0 && verdicts[0].match);
    EXPECT_TRUE(verdicts[1].block == 1 && verdicts[1].match);
    worker.Submit(2, "cc", &digests[2]);
    EXPECT_EQ(worker.Finish(), Sha256Of("aabbcc"));
    EXPECT_FALSE(worker.WriteFailed());
    ASSERT_TRUE(stream.Close());
    EXPECT_EQ(ReadFileBytes(dir.path() / "file"), "aabbcc");
}

TEST(DownloadWorkerTest, FailedWriteStopsTheBlocksAfterIt) {
    DownloadStream stream;
    ASSERT_TRUE(stream.Open(u"/dev/full", StreamMode::Continue));
    DownloadWorker worker(stream, false);
    worker.Begin(0);
    worker.Submit(0, "block", nullptr);
    EXPECT_TRUE(worker.WriteFailed());
    worker.Submit(1, "next", nullptr);  // refused at once, no wait for room
    EXPECT_EQ(worker.Finish(), "");
}
}  // namespace
