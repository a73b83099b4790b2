#include <gtest/gtest.h>

#include "app/launch_flow.h"
#include "core/clock.h"
#include "core/setup_log.h"
#include "support/process_seams.h"
#include "support/scripted_dialogs.h"
#include "support/setup_log_reader.h"
#include "support/test_environment.h"

namespace {
// Stand-in stations that record the order of the launch.
class RecordingStations : public LaunchStations {
  public:
    std::vector<std::string> calls;
    ProductCatalog index = JsonValue::Parse("{}");
    SetupSelection selection;
    bool cancel = false;
    std::uint64_t* clock = nullptr;
    std::uint64_t downloadMillis = 0;

    ProductCatalog FetchIndex(const std::u16string&, std::string&) override {
        calls.push_back("index");
        return index;
    }
    SetupSelection SelectRelease(const ProductCatalog&, const std::string& product) override {
        calls.push_back("select " + product);
        if (cancel) THROW_ABORT();
        return selection;
    }
    void SendUsageEvent(const std::u16string&, const std::string& version,
                        const std::string& action, const std::string& duration,
                        std::uint32_t launcherVersion) override {
        calls.push_back(action + " " + version + " " + duration + " " +
                        std::to_string(launcherVersion));
    }
    SetupSelection DownloadArchive(SetupSelection s) override {
        calls.push_back("download arc");
        if (clock) *clock += downloadMillis;
        return s;
    }
    SetupSelection DownloadImage(SetupSelection s) override {
        calls.push_back("download iso");
        return s;
    }
    void InstallArchive(SetupSelection) override { calls.push_back("install"); }
    void MountIsoAndOpen(SetupSelection) override { calls.push_back("mount"); }
};

class LaunchFlowTest : public ::testing::Test {
  protected:
    ScopedSeams seams;
    TempDir dir;
    ScopedEnv tmp{"TMPDIR", dir.path().string()};
    ScriptedViews views;
    ScopedViews scoped{views};
    RecordingStations stations;
    std::uint64_t now = 5000;

    void SetUp() override {
        SetTickSource([this] { return now; });
        stations.clock = &now;
        stations.selection.version = "2024.1";
        stations.selection.filename = "rel.zip";
        stations.selection.filetype = "arc";
        stations.selection.required_setup = 5;
    }
};

TEST_F(LaunchFlowTest, FixedOrderWithWholeSecondsInSuccess) {
    stations.downloadMillis = 1999;
    RunLauncher(u"tarnwick-x64-sql", stations);
    EXPECT_EQ(stations.calls,
              (std::vector<std::string>{"index", "select tarnwick-x64-sql", "begin 2024.1 0 5",
                                        "download arc", "success 2024.1 1 5", "install"}));
    EXPECT_NE(SetupLogText().find("): downloadSetup: elapsed seconds: 1\r\n"), std::string::npos);
}

TEST_F(LaunchFlowTest, FiletypeDecidesDownloadAndInstallation) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"iso", {"download iso", "mount"}},
        {"arc", {"download arc", "install"}},
        {"zip", {"download arc"}},
    };
    for (const auto& [filetype, expected] : cases) {
        stations.calls.clear();
        stations.selection.filetype = filetype;
        RunLauncher(u"p", stations);
        std::vector<std::string> tail;
        for (const auto& call : stations.calls) {
            if (call.rfind("download", 0) == 0 || call == "install" || call == "mount") {
                tail.push_back(call);
            }
        }
        EXPECT_EQ(tail, expected) << filetype;
    }
}

TEST_F(LaunchFlowTest, CancelEndsSilentlyAfterItsRecords) {
    stations.cancel = true;
    SetViews(&views);
    EXPECT_THROW(RunLauncher(u"p", stations), AbortException);
    EXPECT_EQ(stations.calls, (std::vector<std::string>{"index", "select p"}));
    std::string log = SetupLogText();
    std::size_t abort = log.find("): throwing AbortException\r\n");
    ASSERT_NE(abort, std::string::npos);
    EXPECT_NE(log.find("): downloadSetup: elapsed seconds: 0\r\n", abort), std::string::npos);
    EXPECT_TRUE(views.messages.empty());
}

TEST_F(LaunchFlowTest, RequiredSetupAboveTheLauncherVersionIsRefused) {
    const std::pair<std::uint64_t, bool> cases[] = {
        {0, true}, {5, true}, {6, false}, {4294967296u, false}};
    for (const auto& [required, passes] : cases) {
        stations.calls.clear();
        stations.selection.required_setup = required;
        if (passes) {
            EXPECT_NO_THROW(RunLauncher(u"tarnwick-x64-sql", stations));
        } else {
            try {
                RunLauncher(u"tarnwick-x64-sql", stations);
                ADD_FAILURE() << required;
            } catch (const DownloadException& e) {
                EXPECT_STREQ(e.what(), "tarnwick-x64-sql requires a newer downloader");
            }
            EXPECT_EQ(stations.calls.size(), 2u) << "no event, no download";
        }
    }
}

TEST_F(LaunchFlowTest, EmptyProductFailsBeforeAnyNetworkAccess) {
    try {
        RunLauncher(u"", stations);
        ADD_FAILURE();
    } catch (const DownloadException& e) {
        EXPECT_STREQ(e.what(), "strProduct is empty");
    }
    EXPECT_TRUE(stations.calls.empty());
    EXPECT_NE(SetupLogText().find("): throwing DownloadException(strProduct is empty)\r\n"),
              std::string::npos);
}

TEST_F(LaunchFlowTest, MissingIndexIsNotAvailable) {
    stations.index = ProductCatalog();
    try {
        RunLauncher(u"tarnwick-x64-sql", stations);
        ADD_FAILURE();
    } catch (const DownloadException& e) {
        EXPECT_STREQ(e.what(), "tarnwick-x64-sql is not available for download");
    }
    EXPECT_NE(
        SetupLogText().find("throwing DownloadException(tarnwick-x64-sql is not available for "
                            "download)\r\n"),
        std::string::npos);
}

TEST_F(LaunchFlowTest, KeysAndFileNamesThatLeaveTheirFolderAreRefused) {
    struct Case {
        std::string version;
        std::string filename;
        std::string named;
    };
    const Case cases[] = {
        {"..\\..\\x", "rel.zip", "..\\..\\x"},
        {"2024.1", "../evil.zip", "../evil.zip"},
        {"", "rel.zip", "\"\""},
        {"..", "rel.zip", "\"..\""},
        {"2024.1", ".", "\".\""},
        {"2024.1", "C:x.zip", "C:x.zip"},
        {"2024.1", "a/b.zip", "a/b.zip"},
        {std::string("1\0", 2), "r", "1"},
    };
    for (const Case& c : cases) {
        stations.calls.clear();
        stations.selection.version = c.version;
        stations.selection.filename = c.filename;
        try {
            RunLauncher(u"tarnwick-x64-sql", stations);
            ADD_FAILURE() << c.named;
        } catch (const DownloadException& e) {
            std::string message = e.what();
            EXPECT_EQ(message.rfind("tarnwick-x64-sql", 0), 0u) << message;
            EXPECT_NE(message.find(c.named), std::string::npos) << message;
        }
        EXPECT_EQ(stations.calls.size(), 2u) << "nothing downloaded";
    }
}

TEST_F(LaunchFlowTest, EntryShowsFailuresAndNeverCrashes) {
    class Throwing : public RecordingStations {
      public:
        int kind = 0;
        ProductCatalog FetchIndex(const std::u16string&, std::string&) override {
            if (kind == 0) throw ZipException("Cannot open arc file");
            if (kind == 1) throw 42;
            THROW_ABORT();
        }
    };
    ScopedEnv exe("SETUP_LAUNCHER_DOWNLOAD_ENDPOINT", std::nullopt);
    Throwing throwing;
    for (int kind : {0, 1, 2}) {
        throwing.kind = kind;
        EXPECT_EQ(RunLaunchAndReport(throwing, [] { return std::u16string(u"p"); }), 0);
    }
    ASSERT_EQ(views.messages.size(), 2u);
    EXPECT_EQ(views.messages[0], "Cannot open arc file");
    EXPECT_FALSE(views.messages[1].empty());
}
}  // namespace
