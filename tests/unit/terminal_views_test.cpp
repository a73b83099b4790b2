// The terminal edition of the version dialog, driven by typed answers.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "catalogue/release_index.h"
#include "core/json_reader.h"
#include "core/text_conversion.h"
#include "support/scripted_dialogs.h"
#include "support/test_environment.h"
#include "ui/terminal/terminal_views.h"
#include "ui/version_selection.h"

namespace {

class TerminalVersionQuestionsTest : public ::testing::Test {
  protected:
    TempDir dir;
    ScopedEnv home{"HOME", dir.path().string()};
    ScopedEnv xdg{"XDG_DOWNLOAD_DIR", (dir.path() / "Downloads").string()};
    // The views in use elsewhere are not the terminal's: its typed folder must not depend on them.
    ScriptedViews otherViews;
    ScopedViews scoped{otherViews};

    VersionSelectionDlg dialog{{{"2024.1", "Tarnwick 2024.1"}},
                               JsonValue::Parse(R"({"releases": {"2024.1": {}}})")};
    std::ostringstream out;
    std::ostringstream err;

    // Runs the version questions over the typed lines; returns OK or not.
    bool Answer(const std::string& typed) {
        dialog.OnInitDialog();
        std::istringstream in(typed);
        TerminalViews views(in, out, err, false);
        return views.RunVersionSelection(dialog);
    }
};

TEST_F(TerminalVersionQuestionsTest, TypedDestinationBecomesTheFolder) {
    otherViews.pickedFolder = u"/elsewhere";
    const std::u16string typed = dir.folder() + u"Ziel";
    struct Case {
        std::string lines;  // destination, download only, OK
        std::u16string destination;
        bool downloadOnly;
    };
    const Case cases[] = {
        {ToUtf8(typed) + "\nn\ny\n", typed + u"/", false},
        {ToUtf8(typed) + "/\nj\n\n", typed + u"/", true},
        // An empty answer keeps the preselected download folder.
        {"\n\n\n", dir.folder() + u"Downloads/", false},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(Answer(c.lines)) << c.lines;
        EXPECT_EQ(dialog.Destination(), c.destination) << c.lines;
        EXPECT_EQ(dialog.DownloadOnly(), c.downloadOnly) << c.lines;
    }
    EXPECT_TRUE(otherViews.pickerTitles.empty());
    EXPECT_NE(out.str().find("Ziel/Destination ["), std::string::npos) << out.str();
}

TEST_F(TerminalVersionQuestionsTest, EndOfInputOrNoAtOkCancels) {
    for (const std::string lines : {"", "/tmp/x\n", "/tmp/x\nn\n", "/tmp/x\nn\nn\n"}) {
        EXPECT_FALSE(Answer(lines)) << lines;
    }
}

}  // namespace
