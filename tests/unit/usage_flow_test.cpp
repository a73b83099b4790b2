#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/launch_flow.h"
#include "core/clock.h"
#include "core/setup_log.h"
#include "support/process_seams.h"
#include "support/test_environment.h"

namespace {

// Stations whose download takes a given time on the injected tick counter, or fails.
class TimedStations : public LaunchStations {
  public:
    std::uint64_t* clock = nullptr;
    std::uint64_t downloadMillis = 0;
    bool downloadFails = false;
    std::vector<std::string> events;

    ProductCatalog FetchIndex(const std::u16string&, std::string&) override {
        return ProductCatalog::Parse(R"({"releases": {}})");
    }
    SetupSelection SelectRelease(const ProductCatalog&, const std::string&) override {
        SetupSelection selection;
        selection.version = "2024.1";
        selection.filename = "rel.zip";
        selection.filetype = "zip";
        return selection;
    }
    void SendUsageEvent(const std::u16string&, const std::string& version,
                        const std::string& action, const std::string& duration,
                        std::uint32_t) override {
        events.push_back(action + " " + version + " " + duration);
    }
    SetupSelection DownloadArchive(SetupSelection selection) override {
        *clock += downloadMillis;
        if (downloadFails) {
            THROW_DOWNLOAD("download failed");
        }
        return selection;
    }
};

TEST(UsageFlow, SuccessCarriesTheStepsWholeSecondsAndFailureSendsNone) {
    struct Case {
        std::uint64_t downloadMillis;
        bool fails;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {59999, false, {"begin 2024.1 0", "success 2024.1 59"}},
        {60000, false, {"begin 2024.1 0", "success 2024.1 60"}},
        {0, false, {"begin 2024.1 0", "success 2024.1 0"}},
        {59999, true, {"begin 2024.1 0"}},
    };
    ScopedSeams seams;
    TempDir dir;
    ScopedEnv tmp("TMPDIR", dir.path().string());
    for (const Case& c : cases) {
        std::uint64_t now = 1000;
        SetTickSource([&now] { return now; });
        TimedStations stations;
        stations.clock = &now;
        stations.downloadMillis = c.downloadMillis;
        stations.downloadFails = c.fails;
        if (c.fails) {
            EXPECT_THROW(RunLauncher(u"vireo", stations), DownloadException);
        } else {
            RunLauncher(u"vireo", stations);
        }
        EXPECT_EQ(stations.events, c.events) << c.downloadMillis;
    }
}

}  // namespace
