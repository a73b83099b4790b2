#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/clock.h"
#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "support/process_seams.h"
#include "support/progress_recorder.h"
#include "support/setup_log_reader.h"
#include "support/test_environment.h"
#include "ui/progress_estimate.h"

namespace {
constexpr char16_t kDownloadCaption[] = u"Fortschritt / Progress (download)";

class ProgressEstimateTest : public ::testing::Test {
  protected:
    ScopedSeams seams;
    TempDir dir;
    ScopedEnv tmp{"TMPDIR", dir.path().string()};
    std::uint64_t now = 50000;
    ExtractionProgress progress;

    void SetUp() override {
        SetTickSource([this] { return now; });
        progress.AppendToTitle(u"(download)");
    }

    // Steps at the given tick counts, in order.
    void StepsAt(std::initializer_list<std::uint64_t> ticks) {
        for (std::uint64_t tick : ticks) {
            now = tick;
            progress.ProgressStep();
        }
    }
};

TEST_F(ProgressEstimateTest, FirstStepAdvancesTheBarButChangesNeitherCaptionNorLog) {
    progress.SetProgressRange(100);
    StepsAt({50000});
    EXPECT_EQ(progress.Caption(), kDownloadCaption);
    EXPECT_EQ(progress.Position(), 1u);
    EXPECT_EQ(progress.StepsTaken(), 1u);
    EXPECT_EQ(SetupLogText(), "");
}

TEST_F(ProgressEstimateTest, ExtrapolatesTheTimeSinceTheFirstStepOverTheRange) {
    progress.SetProgressRange(100);
    // Ten steps at once, then the eleventh 20 s after the first: 20 s for 10 steps of 100.
    StepsAt({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20000});
    EXPECT_EQ(progress.Caption(), u"Fortschritt / Progress (download) (ETA 00:03:00)");
    std::string record =
        "mMaxProgress: 100 mCurProgress: 10 diffSeconds: 20.000000 estimatedSeconds: 200.000000 "
        "secondsLeft: 180 (ETA 00:03:00)\r\n";
    std::string log = SetupLogText();
    ASSERT_GE(log.size(), record.size());
    EXPECT_EQ(log.substr(log.size() - record.size()), record);
    EXPECT_TRUE(HasRecordFromASite(log, record.substr(0, record.size() - 2)));
}

TEST_F(ProgressEstimateTest, EtaTextsSplitHoursMinutesAndSeconds) {
    // With a range of 2 the second step estimates as much time left as has passed.
    struct Case {
        std::uint64_t elapsedMs;
        const char16_t* eta;
    };
    for (Case c : {Case{3600000, u" (ETA 01:00:00)"}, Case{60000, u" (ETA 00:01:00)"},
                   Case{59000, u" (ETA 00:00:59)"}, Case{90061000, u" (ETA 25:01:01)"}}) {
        SCOPED_TRACE(c.elapsedMs);
        ExtractionProgress fresh;
        fresh.SetProgressRange(2);
        now = 1000;
        fresh.ProgressStep();
        now = 1000 + c.elapsedMs;
        fresh.ProgressStep();
        EXPECT_EQ(fresh.Caption(), std::u16string(u"Fortschritt / Progress") + c.eta);
        EXPECT_EQ(fresh.Position(), 2u);  // the bar is full after n steps of a range n
    }
}

TEST_F(ProgressEstimateTest, NoEstimateInTheFirstSecondOrBelowOneSecondLeft) {
    progress.SetProgressRange(3);
    StepsAt({0, 1000});  // exactly one second: too early
    EXPECT_EQ(progress.Caption(), kDownloadCaption);
    EXPECT_EQ(SetupLogText(), "");

    ExtractionProgress later;
    later.SetProgressRange(3);
    now = 0;
    later.ProgressStep();
    now = 1500;  // 1.5 s for one step of three: 3 s left
    later.ProgressStep();
    EXPECT_EQ(later.Caption(), u"Fortschritt / Progress (ETA 00:00:03)");
    now = 1800;  // 1.8 s for two steps: 0.9 s left, the estimate goes away
    later.ProgressStep();
    EXPECT_EQ(later.Caption(), u"Fortschritt / Progress");
}

TEST_F(ProgressEstimateTest, MoreStepsThanTheRangeShowNoEstimateAndKeepTheBarFull) {
    // A block fetched again advances the window again, so steps can outnumber the range; the
    // negative time left must not turn into a huge estimate.
    progress.SetProgressRange(1);
    StepsAt({0, 5000, 9000, 20000});
    EXPECT_EQ(progress.Caption(), kDownloadCaption);
    EXPECT_EQ(progress.Position(), 1u);
    EXPECT_EQ(SetupLogText(), "");
}

TEST_F(ProgressEstimateTest, ResetEmptiesTheBarAndRestartsTheTiming) {
    progress.SetProgressRange(10);
    StepsAt({0, 5000});
    ASSERT_NE(progress.Caption(), kDownloadCaption);
    std::string logBefore = SetupLogText();

    progress.ResetProgress();
    EXPECT_EQ(progress.Position(), 0u);
    EXPECT_EQ(progress.StepsTaken(), 0u);
    StepsAt({900000});
    EXPECT_EQ(progress.Caption(), kDownloadCaption);
    EXPECT_EQ(SetupLogText(), logBefore);
    // The timing starts at that step: 2 s later for one step of ten, 18 s are left.
    StepsAt({902000});
    EXPECT_EQ(progress.Caption(), u"Fortschritt / Progress (download) (ETA 00:00:18)");
}

TEST_F(ProgressEstimateTest, WindowShowsCaptionBarAndRangeThroughTheViews) {
    ProgressRecorder views;
    {
        ExtractionProgress window;
        window.Create();
        window.AppendToTitle(u"(extract)");
        window.SetProgressRange(0);
        EXPECT_EQ(views.shown, 1);
        ASSERT_FALSE(views.states.empty());
        const auto& last = views.states.back();
        EXPECT_EQ(last.caption, u"Fortschritt / Progress (extract)");
        EXPECT_EQ(last.position, 0u);  // a range of 0 leaves the bar empty
        EXPECT_EQ(last.range, 0u);
        window.Destroy();
        EXPECT_EQ(views.open, 0);
        window.ProgressStep();  // a destroyed window draws nothing more
    }
    EXPECT_EQ(views.open, 0);
    EXPECT_EQ(views.states.size(), 3u);
}
}  // namespace
