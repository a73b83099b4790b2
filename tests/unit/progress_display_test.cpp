#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "core/message_pump.h"
#include "ui/terminal/terminal_dialogs.h"

namespace {
TEST(ProgressDisplayTest, TerminalRedrawsOneLineInPlaceWhenThePumpRuns) {
    std::ostringstream err;
    {
        auto view = MakeTerminalProgressView(err, true);
        view->Update(u"Fortschritt / Progress (download) (ETA 00:03:00)", 1, 4);
        EXPECT_EQ(err.str(), "");  // drawn in the idle work, not at once
        PumpMessages(10);
        EXPECT_EQ(err.str(),
                  "\rFortschritt / Progress (download) (ETA 00:03:00) [#####---------------]  25%");
        PumpMessages(10);  // nothing new: nothing drawn
        view->Update(u"Fortschritt / Progress (download)", 4, 4);
        PumpMessages(0);  // idle work runs also when no message may be dispatched
    }
    // The shorter line blanks out the rest of the longer one; the display ends its line when the
    // window goes.
    EXPECT_EQ(err.str(),
              "\rFortschritt / Progress (download) (ETA 00:03:00) [#####---------------]  25%"
              "\rFortschritt / Progress (download) [####################] 100%" +
                  std::string(15, ' ') + "\n");
}

TEST(ProgressDisplayTest, PipeGetsALineForEachTenthOnly) {
    std::ostringstream err;
    {
        auto view = MakeTerminalProgressView(err, false);
        for (std::uint32_t step = 0; step <= 200; ++step) {
            view->Update(u"P", step, 200);
            PumpMessages(10);
        }
    }
    std::string expected;
    for (int tenth = 0; tenth <= 10; ++tenth) {
        std::string number = std::to_string(tenth * 10);
        expected += "P [" + std::string(tenth * 2, '#') + std::string(20 - tenth * 2, '-') + "] " +
                    std::string(3 - number.size(), ' ') + number + "%\n";
    }
    EXPECT_EQ(err.str(), expected);
}

TEST(ProgressDisplayTest, EmptyRangeShowsAnEmptyBarAndAGoneViewDrawsNoMore) {
    std::ostringstream err;
    auto view = MakeTerminalProgressView(err, false);
    view->Update(u"P", 0, 0);
    view.reset();  // the last state is drawn when the window goes
    EXPECT_EQ(err.str(), "P [--------------------]   0%\n");
    PumpMessages(10);
    EXPECT_EQ(err.str(), "P [--------------------]   0%\n");
}
}  // namespace
