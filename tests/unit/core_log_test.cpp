#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "support/process_seams.h"
#include "support/setup_log_reader.h"
#include "support/test_environment.h"

namespace {
class LogTest : public ::testing::Test {
  protected:
    ScopedSeams seams;
    TempDir dir;
    ScopedEnv tmp{"TMPDIR", dir.path().string()};
    std::filesystem::path logFile = dir.path() / "CAD-Setup.log";

    void SetUp() override { ResetLogOnceFlagForTesting(); }
};

TEST_F(LogTest, RecordsAreSourceLineTextWithCrLf) {
    LogRecord("first", 42, "core/a.cpp");
    LogRecordWide(u"Größe", -3, "core/b.cpp");
    EXPECT_EQ(ReadFileBytes(logFile),
              "core/a.cpp(42): first\r\ncore/b.cpp(-3): Gr\xC3\xB6\xC3\x9F"
              "e\r\n");
}

TEST_F(LogTest, SizeRuleDeletesOnlyFilesOverTheLimitOncePerProcess) {
    struct Case {
        std::uint64_t size;
        bool deleted;
    };
    for (Case c : {Case{kLogSizeLimit, false}, Case{kLogSizeLimit + 1, true}}) {
        SCOPED_TRACE(c.size);
        WriteFileBytes(logFile, "");
        std::filesystem::resize_file(logFile, c.size);
        ResetLogOnceFlagForTesting();
        LogRecord("new", 1, "s");
        std::uint64_t expected = c.deleted ? 11 : c.size + 11;  // "s(1): new" CR LF
        EXPECT_EQ(std::filesystem::file_size(logFile), expected);
    }
    // Later records of the same process never check again, even past the limit.
    std::filesystem::resize_file(logFile, kLogSizeLimit + 100);
    LogRecord("again", 1, "s");
    EXPECT_EQ(std::filesystem::file_size(logFile), kLogSizeLimit + 100 + 13);
}

TEST_F(LogTest, ScopeTimerWritesWholeSecondsAlsoWhenAnExceptionPasses) {
    std::uint64_t now = 1000;
    SetTickSource([&] { return now; });
    try {
        ScopeTimer timer(u"downloadSetup");
        now += 999;
        THROW_DOWNLOAD("boom");
    } catch (const DownloadException& e) {
        EXPECT_STREQ(e.what(), "boom");
    }
    {
        ScopeTimer timer(u"extract");
        now += 42000;
    }
    std::string log = ReadFileBytes(logFile);
    EXPECT_NE(log.find("): throwing DownloadException(boom)\r\n"), std::string::npos);
    EXPECT_NE(log.find("): downloadSetup: elapsed seconds: 0\r\n"), std::string::npos);
    EXPECT_NE(log.find("): extract: elapsed seconds: 42\r\n"), std::string::npos);
    EXPECT_LT(log.find("throwing"), log.find("downloadSetup"));
}

TEST_F(LogTest, ThrowSitesLogTheirOwnSourceAndTheClassName) {
    EXPECT_THROW(THROW_ABORT(), AbortException);
    EXPECT_THROW(THROW_ZIP("bad member"), ZipException);
    const std::vector<LoggedRecord> records = LoggedRecords(ReadFileBytes(logFile));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].source, __FILE__);
    EXPECT_EQ(records[0].text, "throwing AbortException");
    EXPECT_EQ(records[1].source, __FILE__);
    EXPECT_EQ(records[1].text, "throwing ZipException(bad member)");
}

TEST_F(LogTest, UnwritableLogIsDroppedSilently) {
    ScopedEnv missing("TMPDIR", (dir.path() / "missing" / "deeper").string());
    EXPECT_NO_THROW(LogRecord("dropped", 1, "s"));
}

TEST(TextConversion, Utf8AndUtf16) {
    EXPECT_EQ(ToUtf8(u""), "");
    EXPECT_EQ(ToUtf16(""), u"");
    EXPECT_EQ(ToUtf8(u"Größe").size(), 7u);
    EXPECT_EQ(ToUtf16("Gr\xC3\xB6\xC3\x9F"
                      "e"),
              u"Größe");
    EXPECT_EQ(ToUtf16("a\xFFz"), u"a\uFFFDz");
    EXPECT_EQ(ToUtf16("a\xC3"), u"a\uFFFD");                    // cut-off sequence
    EXPECT_EQ(ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
    EXPECT_EQ(ToUtf8(std::u16string(u"ab\0cd", 5)), "ab");
    EXPECT_EQ(ToUtf16(std::string("ab\0cd", 5)), u"ab");
    EXPECT_EQ(ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(ToUtf16(ToUtf8(u"\U0001F600")), u"\U0001F600");
}
}  // namespace
