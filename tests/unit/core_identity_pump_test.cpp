#include <gtest/gtest.h>

#include "core/message_pump.h"
#include "core/product_identity.h"
#include "core/setup_log.h"
#include "support/process_seams.h"
#include "support/test_environment.h"

namespace {
TEST(ProductIdentity, FileNameRule) {
    struct Case {
        std::u16string path;
        std::u16string product;
    };
    const Case cases[] = {
        {u"C:/Downloads/Tarnwick-X64-SQL.exe", u"tarnwick-x64-sql"},
        {u"C:\\Downloads\\Tarnwick-X64-SQL.exe", u"tarnwick-x64-sql"},
        {u"C:/Apps/Setup.v2.exe", u"setup.v2"},
        {u"C:/dir.v2/Setup", u"dir"},
        {u"C:/dir/Setup", u""},
        {u"/opt/bin/tarnwick-x64-sql.run", u"tarnwick-x64-sql"},
        {u"C:/Ä/ÜBER.exe", u"Über"},  // only A-Z are lowered
        {u"Setup.exe", u""},          // no separator before the name
        {u"", u""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ProductFromModulePath(c.path), c.product);
    }
}

TEST(ProductIdentity, EmbeddedTextWinsTrimmedAndKeepsItsCase) {
    TempDir dir;
    ScopedEnv tmp("TMPDIR", dir.path().string());
    ResetLogOnceFlagForTesting();
    const std::u16string path = u"/opt/Other.run";
    EXPECT_EQ(DetermineProductFrom(path, u"  tarnwick-x64-sql "), u"tarnwick-x64-sql");
    EXPECT_EQ(DetermineProductFrom(path, u"Tarnwick-X64"), u"Tarnwick-X64");
    EXPECT_EQ(DetermineProductFrom(path, u" \t "), u"other");
    EXPECT_EQ(DetermineProductFrom(path, std::nullopt), u"other");
    EXPECT_EQ(DetermineProductFrom(u"/opt/noext", std::nullopt), u"");
    std::string log = ReadFileBytes(dir.path() / "CAD-Setup.log");
    EXPECT_NE(log.find("): Process name /opt/Other.run\r\n"), std::string::npos);
    EXPECT_NE(log.find("): Product via resource   tarnwick-x64-sql \r\n"), std::string::npos);
    EXPECT_NE(log.find("): Product via process name other\r\n"), std::string::npos);
}

// A queue with a number of waiting messages, one of which may be the quit message.
class FakeQueue : public MessageQueue {
  public:
    int waiting = 0;
    int quitAt = -1;  // index of the quit message among the waiting ones
    int dispatched = 0;
    int quitsPosted = 0;
    int idleRounds = 0;
    int idleWork = 0;  // rounds of idle work still wanted

    bool Peek() override { return waiting > 0; }
    bool PumpOne() override {
        --waiting;
        return dispatched++ != quitAt;
    }
    void PostQuit() override { ++quitsPosted; }
    bool OnIdle(long count) override {
        EXPECT_EQ(count, idleRounds);
        ++idleRounds;
        return idleRounds < idleWork;
    }
};

class PumpTest : public ::testing::Test {
  protected:
    ScopedSeams seams;
    FakeQueue queue;
    void SetUp() override { SetMessageQueue(&queue); }
};

TEST_F(PumpTest, DispatchesAtMostNThenRunsIdleWork) {
    queue.waiting = 12;
    queue.idleWork = 3;
    PumpMessages(10);
    EXPECT_EQ(queue.dispatched, 10);
    EXPECT_EQ(queue.idleRounds, 3);
}

TEST_F(PumpTest, ZeroMessagesStillRunsIdleWork) {
    queue.waiting = 5;
    PumpMessages(0);
    EXPECT_EQ(queue.dispatched, 0);
    EXPECT_EQ(queue.idleRounds, 1);
}

TEST_F(PumpTest, QuitIsPostedAgainAndEndsThePumping) {
    queue.waiting = 8;
    queue.quitAt = 1;
    PumpMessages(10);
    EXPECT_EQ(queue.dispatched, 2);
    EXPECT_EQ(queue.quitsPosted, 1);
    EXPECT_EQ(queue.idleRounds, 1);
}
}  // namespace
