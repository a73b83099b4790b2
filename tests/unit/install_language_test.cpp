// The language question: preselection from the interface language, the caption probe, OK and
// cancel, and its terminal edition.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "core/setup_log.h"
#include "core/text_conversion.h"
#include "support/scripted_dialogs.h"
#include "support/setup_log_reader.h"
#include "support/test_environment.h"
#include "ui/language_selection.h"
#include "ui/terminal/terminal_dialogs.h"

namespace fs = std::filesystem;

namespace {

struct PreselectionCase {
    const char* locale;
    int preselected;  // entry
    int answer;       // entry chosen by the user, -1 to keep the preselection
    int language;
};

class InstallLanguagePreselectionTest : public ::testing::TestWithParam<PreselectionCase> {};

TEST_P(InstallLanguagePreselectionTest, FollowsTheInterfaceLanguage) {
    ScopedEnv all("LC_ALL", std::string(GetParam().locale));
    ScriptedViews views;
    ScopedViews scoped(views);
    int preselected = -1;
    views.onLanguage = [&](LanguageSelectionDlg& dialog) {
        preselected = dialog.SelectedEntry();
        EXPECT_EQ(dialog.Entries(), (std::vector<std::u16string>{u"Deutsch", u"English"}));
        if (GetParam().answer >= 0) {
            dialog.SelectEntry(GetParam().answer);
        }
        return true;
    };

    EXPECT_EQ(SelectLanguage(), GetParam().language);
    EXPECT_EQ(preselected, GetParam().preselected);
}

INSTANTIATE_TEST_SUITE_P(Locales, InstallLanguagePreselectionTest,
                         ::testing::Values(PreselectionCase{"de_DE.UTF-8", 0, -1, 1},
                                           PreselectionCase{"de_CH", 0, -1, 1},
                                           PreselectionCase{"de-AT", 0, 1, 2},
                                           PreselectionCase{"en_US.UTF-8", 1, -1, 2},
                                           PreselectionCase{"fr_FR.UTF-8", 1, 0, 1},
                                           PreselectionCase{"C", 1, -1, 2}));

TEST(InstallLanguageTest, CancelLogsAndThrowsAbort) {
    TempDir dir;
    ScopedEnv tmp("TMPDIR", dir.path().string());
    ScriptedViews views;
    ScopedViews scoped(views);
    views.onLanguage = [](LanguageSelectionDlg&) { return false; };

    EXPECT_THROW(SelectLanguage(), AbortException);
    EXPECT_TRUE(HasRecordFromASite(SetupLogText(), "throwing AbortException"));
}

TEST(InstallLanguageTest, CaptionNamesTheEditionFoundBesideTheLauncher) {
    struct ProbeCase {
        const char* create;  // relative path made in the launcher's folder, empty: none
        bool asFolder;
        const char* caption;
    };
    for (const ProbeCase& c : {ProbeCase{"", false, "Vireo Setup"},
                               ProbeCase{"de-x64/x64/kestrel_s", false, "KESTREL Complete SE"},
                               ProbeCase{"en-x64/x64/kestrel_s", true, "KESTREL Complete SE"},
                               ProbeCase{"fr-x64/x64/kestrel_s", false, "Vireo Setup"},
                               ProbeCase{"de-x64/x64/kestrel", false, "Vireo Setup"}}) {
        TempDir launcherFolder;
        if (*c.create != '\0') {
            const fs::path probe = launcherFolder.path() / c.create;
            fs::create_directories(c.asFolder ? probe : probe.parent_path());
            if (!c.asFolder) {
                WriteFileBytes(probe, "");
            }
        }
        LanguageSelectionDlg dialog(LanguageSelectionDlg::kEnglish);
        dialog.OnInitDialog(launcherFolder.folder());
        EXPECT_EQ(ToUtf8(dialog.Caption()), c.caption) << c.create;
    }
}

struct QuestionCase {
    const char* name;
    int preselection;  // language
    const char* input;
    bool ok;
    int language;
    int hints;
};

class InstallLanguageQuestionTest : public ::testing::TestWithParam<QuestionCase> {};

TEST_P(InstallLanguageQuestionTest, ReadsOneAnswerALine) {
    const QuestionCase& c = GetParam();
    LanguageSelectionDlg dialog(c.preselection);
    dialog.OnInitDialog(u"/nonexistent/");
    std::istringstream in(c.input);
    std::ostringstream out;

    EXPECT_EQ(RunLanguageQuestion(dialog, in, out), c.ok);
    if (c.ok) {
        EXPECT_EQ(dialog.Language(), c.language);
    }
    const std::string text = out.str();
    std::size_t hints = 0;
    for (std::size_t at = text.find("Please enter"); at != std::string::npos;
         at = text.find("Please enter", at + 1)) {
        ++hints;
    }
    EXPECT_EQ(hints, static_cast<std::size_t>(c.hints)) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, InstallLanguageQuestionTest,
    ::testing::Values(QuestionCase{"EmptyKeepsGerman", 1, "\n", true, 1, 0},
                      QuestionCase{"EmptyKeepsEnglish", 2, "\r\n", true, 2, 0},
                      QuestionCase{"PicksEnglish", 1, " 2 \n", true, 2, 0},
                      QuestionCase{"PicksGerman", 2, "1\n", true, 1, 0},
                      QuestionCase{"InvalidAskedAgain", 2, "3\nDeutsch\n0\n1\n", true, 1, 3},
                      QuestionCase{"EndOfInputCancels", 1, "", false, 0, 0},
                      QuestionCase{"EndAfterInvalidCancels", 1, "x\n", false, 0, 1}),
    [](const ::testing::TestParamInfo<QuestionCase>& info) { return info.param.name; });

TEST(InstallLanguageTest, TerminalQuestionShowsCaptionLabelAndEntriesInOrder) {
    LanguageSelectionDlg dialog(LanguageSelectionDlg::kEnglish);
    dialog.OnInitDialog(u"/nonexistent/");
    std::istringstream in("\n");
    std::ostringstream out;

    ASSERT_TRUE(RunLanguageQuestion(dialog, in, out));
    EXPECT_EQ(out.str(),
              "Vireo Setup\n"
              "Bitte wählen Sie Ihre Sprache / Please select your language:\n"
              "1) Deutsch\n"
              "2) English\n"
              "Sprache/Language [2]: ");
}

}  // namespace
