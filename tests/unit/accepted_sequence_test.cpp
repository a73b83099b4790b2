// Where the remembered release index sequence lives on POSIX, and that it is replaced as one step.
#include <gtest/gtest.h>

#include "catalogue/accepted_sequence.h"
#include "core/local_state.h"
#include "core/text_conversion.h"
#include "support/test_environment.h"

namespace fs = std::filesystem;

namespace {

TEST(AcceptedSequenceTest, RecordLivesInTheUsersStateFolder) {
    struct Case {
        const char* name;
        std::optional<std::string> stateHome, home;
        std::string product;
        std::string path;  // "" when there is no place for it
    };
    const Case cases[] = {
        {"XDG_STATE_HOME", "/x/state", "/home/u", "p", "/x/state/setup-launcher/index-sequence/p"},
        {"relative XDG_STATE_HOME is ignored", "state", "/home/u", "p",
         "/home/u/.local/state/setup-launcher/index-sequence/p"},
        {"HOME only", std::nullopt, "/home/u", "p",
         "/home/u/.local/state/setup-launcher/index-sequence/p"},
        {"neither", std::nullopt, std::nullopt, "p", ""},
        {"name that could leave the folder", "/s", std::nullopt, "../a/b",
         "/s/setup-launcher/index-sequence/%2E.%2Fa%2Fb"},
        {"non-ASCII name", "/s", std::nullopt, "caf\xc3\xa9",
         "/s/setup-launcher/index-sequence/caf%C3%A9"},
    };
    for (const Case& c : cases) {
        ScopedEnv state("XDG_STATE_HOME", c.stateHome);
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(ToUtf8(AcceptedSequencePath(c.product)), c.path) << c.name;
    }
}

TEST(AcceptedSequenceTest, RememberingReplacesTheRecordAndLeavesNothingBeside) {
    TempDir dir;
    ScopedEnv tmp("TMPDIR", dir.path().string());
    ScopedEnv state("XDG_STATE_HOME", (dir.path() / "state").string());
    RememberAcceptedSequence("p", 7);
    RememberAcceptedSequence("p", 1765421228);
    EXPECT_EQ(ReadAcceptedSequence("p"), 1765421228u);
    const fs::path folder = dir.path() / "state" / "setup-launcher" / "index-sequence";
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);

    // A state folder that cannot be made: logged, the launch goes on.
    WriteFileBytes(dir.path() / "blocked", "");
    ScopedEnv blocked("XDG_STATE_HOME", (dir.path() / "blocked").string());
    RememberAcceptedSequence("p", 9);
    EXPECT_EQ(ReadAcceptedSequence("p"), 0u);
    EXPECT_NE(ReadFileBytes(dir.path() / "CAD-Setup.log")
                  .find("p: cannot remember the accepted release index sequence 9 in "),
              std::string::npos);
}

}  // namespace
